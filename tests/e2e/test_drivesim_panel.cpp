// The front panel of drivesim on the simulated board: scripted button presses
// walk the menu (insert from the folder tree, write protect, create a new
// disk, eject), and the text on the simulated display is read back glyph by
// glyph with the panel's own font.
#include "../../programs/drivesim_font.cpp"
#include "drivesim_util.h"
#include "fileio.h"

namespace {

// The simulator's PNG of the display: 8-bit grey, each display pixel drawn
// 4 x 4, rows filtered with type 0 and deflated in stored blocks. Returns the
// 128 x 32 pixels (1 = lit), empty when the file is not of that form.
std::vector<uint8_t> ReadPanelPng(const std::string &png) {
    std::string idat;
    for (size_t at = 8; at + 12 <= png.size();) {
        const uint8_t *p = (const uint8_t *)png.data() + at;
        size_t len = (size_t)p[0] << 24 | (size_t)p[1] << 16 | (size_t)p[2] << 8 | p[3];
        if (at + 12 + len > png.size()) return {};
        if (memcmp(p + 4, "IDAT", 4) == 0) idat.append(png, at + 8, len);
        at += 12 + len;
    }
    std::string raw;
    for (size_t at = 2; at + 5 <= idat.size();) {  // past the zlib header
        const uint8_t *b = (const uint8_t *)idat.data() + at;
        size_t n = b[1] | b[2] << 8;
        if ((b[0] & 6) != 0 || at + 5 + n > idat.size()) return {};  // stored blocks only
        raw.append(idat, at + 5, n);
        at += 5 + n;
        if (b[0] & 1) break;
    }
    const size_t stride = 1 + 128 * 4;
    if (raw.size() < stride * 32 * 4) return {};
    std::vector<uint8_t> px(128 * 32);
    for (int y = 0; y < 32; y++)
        for (int x = 0; x < 128; x++) px[(size_t)y * 128 + x] = raw[(size_t)y * 4 * stride + 1 + (size_t)x * 4] != 0;
    return px;
}

// The 4 x 21 text cells of the display, each matched against the panel's
// own glyphs (plain or inverted); '?' for a cell that matches none.
std::vector<std::string> ReadScreen(const std::vector<uint8_t> &px) {
    std::vector<std::string> rows;
    if (px.size() != 128 * 32) return rows;
    for (int row = 0; row < 4; row++) {
        std::string text;
        for (int col = 0; col < 21; col++) {
            uint8_t cell[6];
            for (int i = 0; i < 6; i++) {
                cell[i] = 0;
                for (int y = 0; y < 8; y++) cell[i] |= (uint8_t)(px[(size_t)(row * 8 + y) * 128 + col * 6 + i] << y);
            }
            char ch = '?';
            for (int c = 32; c < 127 && ch == '?'; c++) {
                const uint8_t *g = font6x8[fontmap[c]];
                bool plain = true, inverted = true;
                for (int i = 0; i < 6; i++) {
                    plain = plain && cell[i] == g[i];
                    inverted = inverted && cell[i] == (uint8_t)~g[i];
                }
                if (plain || inverted) ch = (char)c;
            }
            text += ch;
        }
        rows.push_back(text);
    }
    return rows;
}

// A press of the walk: the button, and the text it waits for on the display
// (row and column of the text screen), if any.
struct Step {
    const char *button;
    int row, column;
    const char *text;
};

// The panel's glyphs for text as display RAM bytes, in hex.
std::string GlyphsHex(const char *text) {
    std::string hex;
    char b[3];
    for (const char *c = text; *c; c++)
        for (int i = 0; i < 6; i++) {
            snprintf(b, sizeof b, "%02X", font6x8[fontmap[(uint8_t)*c]][i]);
            hex += b;
        }
    return hex;
}

// Where the tests leave files for a person to look at.
std::string OutputDir() {
    const char *tmp = getenv("ZELMO_TEST_TMP");
    std::string dir = tmp && *tmp ? tmp : std::string(ZELMO_BIN_DIR) + "/testtmp";
    return system(("mkdir -p '" + dir + "'").c_str()) == 0 ? dir : "";
}

// The whole menu walk: insert from the folder tree, write protect, a new
// disk, eject. Each press waits for the page it belongs to, as a person
// would; presses without text wait for the next redraw of the same page
// (the blinking choice redraws it every 0.8 s).
TEST(ControlPort, DrivesimFrontPanelMenu) {
    ScratchDir dir;
    ASSERT_EQ(0, system(("mkdir -p '" + dir / "GAMES/SET1" + "'").c_str()));
    std::string x = MakeImage(dir, "2dd", "GAMES/SET1/X.ZEL");
    ASSERT_FALSE(x.empty());

    // Button A opens the menu and moves to the next choice, C confirms, B goes back.
    const Step walk[] = {
        {"A", 0, 0, "DRV0 CL00"},      // drive table: open the menu
        {"C", 1, 0, "EJECT DISK"},     // menu (INSERT DISK current): insert
        {"C", 0, 0, "TOP/"},           // GAMES
        {"C", 0, 0, "GAMES/"},         // SET1
        {"C", 0, 0, "SET1/"},          // X.ZEL
        {"C", 0, 5, "DRIVE SELECT"},   // DRIVE0: inserted, back in SET1/
        {"B", 0, 0, "SET1/"},
        {"B", 0, 0, "GAMES/"},
        {"B", 0, 0, "TOP/"},           // back to the menu
        {"A", 1, 0, "EJECT DISK"},     // EJECT DISK
        {"A", 0, 0, nullptr},          // WRITE PROTECT
        {"C", 0, 0, nullptr},
        {"C", 0, 5, "DRIVE SELECT"},   // DRIVE0 (the only one with a disk)
        {"A", 0, 5, "WRITE PROTECT"},  // ON
        {"C", 0, 0, nullptr},          // protected, back in the menu
        {"A", 0, 0, "INSERT DISK"},    // CREATE NEWDISK
        {"C", 0, 0, nullptr},
        {"C", 0, 0, "TOP/"},           // GAMES
        {"C", 0, 0, "GAMES/"},         // SET1: the new disk goes there
        {"C", 0, 5, "DISK TYPE"},      // 2HD(1.2M)
        {"C", 0, 5, "WRITE PROTECT"},  // OFF: created, back in GAMES/
        {"B", 0, 0, "GAMES/"},
        {"B", 0, 0, "TOP/"},           // back to the menu
        {"A", 0, 0, "INSERT DISK"},    // INSERT DISK
        {"A", 0, 0, nullptr},          // EJECT DISK
        {"C", 0, 0, nullptr},
        {"C", 0, 5, "DRIVE SELECT"},   // DRIVE0: ejected, back in the menu
        {"B", 0, 0, "INSERT DISK"},    // leave the menu
    };
    std::string script;
    for (const Step &s : walk) {
        script += std::string("+400 press ") + s.button + " 600";
        if (s.text)
            script += " when " + std::to_string(s.row) + " " + std::to_string(s.column * 6) + " " +
                      GlyphsHex(s.text);
        script += "\n";
    }
    ASSERT_TRUE(WriteFileBytes(dir / "panel.txt", script));

    // The menu polls the buttons with wall-clock sleeps: yield_us = 1 keeps
    // idle virtual time within a few dozen times the wall clock, and each
    // press comes 400 ms after a redraw (the menu's debouncing right after it
    // is long over) and is held 600 ms, so a busy machine that delays the
    // menu's thread does not lose it.
    Emulator emu(dir, {"board = C", "yield_us = 1", "panel.script = panel.txt"});
    ASSERT_TRUE(emu.Start({"-o", "x0"})) << emu.Err();
    // The walk is over when the disk is out and the menu has been left (a
    // drive command is no longer answered "busy"); then the drive table goes
    // back on the display.
    bool done = false;
    for (int i = 0; i < 600 && !done; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        done = Contains(emu.Out(), "WP 1 0\n") && Contains(emu.Table(), Row(0, "--", 0, "EMPTY")) &&
               emu.Request("1 3 -\n") == "Error : No disk in drive 1\n";
    }
    EXPECT_TRUE(done) << emu.Out();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(0, emu.Signal(SIGTERM));

    EXPECT_TRUE(Contains(emu.Out(), "Floppy disk drive emulation(I2C_OLED, TypeC shiled)"));
    EXPECT_EQ(1, Fileio::IsExist((dir / "GAMES/SET1/NEWDISK01.ZEL").c_str()));
    RunResult view = RunProgram("zelview", {"-i", dir / "GAMES/SET1/NEWDISK01.ZEL"});
    EXPECT_TRUE(Contains(view.out, "RPM                : 360")) << view.out;

    // The drive table is back on the display when the menu is left.
    std::vector<std::string> screen = ReadScreen(ReadPanelPng(ReadFileText(dir / "panel.png")));
    ASSERT_EQ(4u, screen.size());
    EXPECT_EQ("DRV0 CL00    -EMPTY- ", screen[0]);
    EXPECT_EQ("                     ", screen[1]);
    EXPECT_EQ("DRV1 CL00    -EMPTY- ", screen[2]);

    // The picture stays with the test output for a person to look at.
    std::string keep = OutputDir();
    EXPECT_FALSE(keep.empty());
    std::string copy = ReadFileText(dir / "panel.png");
    EXPECT_TRUE(!copy.empty() && WriteFileBytes(keep + "/drivesim-panel.png", copy));
}

}  // namespace
