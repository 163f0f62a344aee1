// The front panel: an SSD1306 display (128 x 32, I2C address 0x3C) showing a
// text screen of 4 rows x 21 cells of the 6 x 8 font, and three buttons (A on
// GPIO 4, B on 14, C on 15, active low). The display normally shows the two
// drives; button A opens a menu to insert an image from a three-level folder
// tree, eject, set write protection or create a new blank image. In the menu
// A moves to the next choice, C confirms, B goes back.
//
// Without a display every operation here does nothing and the menu is never
// entered. The event thread draws the drive table and the control server
// thread runs the menu; the display lock keeps their transfers apart.
#include "drivesim.h"

#include <cstring>
#include <memory>

#include "fileio.h"
#include "gpioctl.h"
#include "zeldisk.h"

std::atomic<int> menu_state{MENU_IDLE};

enum { ROWS = 4, COLS = 21, INVERT = 1 };

// Cell: low 8 bits the character code, bit 8 inverted; 0 shows blank.
static uint16_t oled_screen_buffer[ROWS][COLS];
static uint16_t oled_prev_buffer[ROWS][COLS];  // what is on the glass
static uint8_t oled_cmdbuf[32];
static int oled_cmdlen;
static uint8_t oled_datbuf[1 + COLS * 6];
static int oled_datlen;
static std::recursive_mutex oledlock;

// Last chosen entry at each level of the insert browser and of the new-disk
// folder browser.
static int level_cursor[3];
static int create_cursor[2];

int OledPresent() { return gpioctl.i2cfd >= 0; }

// ---- Display layer -------------------------------------------------------------

static void OledSendBuffer(const uint8_t *bytes, int len) {
    if (OledPresent()) gpioctl.Send2SSD1306(bytes, len);
}

static void OledStartCommand() {
    oled_cmdbuf[0] = 0x00;  // control byte: a command stream follows
    oled_cmdlen = 1;
}
static void OledPushCommand(uint8_t b) {
    if (oled_cmdlen < (int)sizeof oled_cmdbuf) oled_cmdbuf[oled_cmdlen++] = b;
}
static void OledFlushCommand() {
    if (oled_cmdlen == 2) oled_cmdbuf[0] = 0x80;  // control byte: one command
    OledSendBuffer(oled_cmdbuf, oled_cmdlen);
    oled_cmdlen = 0;
}
static void OledStartData() {
    oled_datbuf[0] = 0x40;  // control byte: display data follows
    oled_datlen = 1;
}
static void OledPushData(uint8_t b) {
    if (oled_datlen < (int)sizeof oled_datbuf) oled_datbuf[oled_datlen++] = b;
}
static void OledFlushData() {
    OledSendBuffer(oled_datbuf, oled_datlen);
    oled_datlen = 0;
}

static void OledSetCursor(int column, int page) {
    OledStartCommand();
    OledPushCommand((uint8_t)(0xB0 | page));
    OledPushCommand((uint8_t)(column & 0x0F));
    OledPushCommand((uint8_t)(0x10 | (column >> 4 & 0x0F)));
    OledFlushCommand();
}

static void OledClearScreen() {
    for (int page = 0; page < ROWS; page++) {
        OledSetCursor(0, page);
        uint8_t blank[129] = {0x40};
        OledSendBuffer(blank, sizeof blank);
    }
}

static void OledInit() {
    if (!OledPresent()) return;
    static const uint8_t setup[25] = {
        0x00,              // command stream
        0xAE,              // display off
        0xD5, 0x80,        // clock divide 1, oscillator 8
        0xA8, 0x1F,        // multiplex 32 rows
        0xD3, 0x00,        // display offset 0
        0x40,              // start line 0
        0x8D, 0x14,        // charge pump on
        0x20, 0x00,        // horizontal addressing
        0xA1,              // segment remap (column 127 first)
        0xC8,              // COM scan descending
        0xDA, 0x02,        // COM pins: sequential
        0x81, 0x01,        // contrast 1
        0xD9, 0xF1,        // pre-charge
        0xDB, 0x40,        // VCOMH level
        0xA4,              // display from RAM
        0xA6,              // normal polarity
    };
    OledSendBuffer(setup, sizeof setup);
    OledClearScreen();
    static const uint8_t on[2] = {0x80, 0xAF};
    OledSendBuffer(on, sizeof on);
}

static void OledSetChar(int row, int column, int ch, int attr) {
    if (row < 0 || row >= ROWS || column < 0 || column >= COLS) return;
    oled_screen_buffer[row][column] = (uint16_t)(attr * 256 + (ch & 0xFF));
}

static void OledSetString(int row, int column, const char *text, int attr) {
    if (row < 0 || row >= ROWS || column < 0 || column >= COLS) return;
    for (; column < COLS && *text; column++, text++) OledSetChar(row, column, (uint8_t)*text, attr);
}

static void OledClearLine(int row) {
    if (row < 0 || row >= ROWS) return;
    for (int c = 0; c < COLS; c++) oled_screen_buffer[row][c] = ' ';
}

// Renders cells first..last of a row and sends them in one transfer.
static void OledDrawScreen(int row, int first, int last) {
    OledStartData();
    for (int c = first; c <= last; c++) {
        uint16_t cell = oled_screen_buffer[row][c];
        const uint8_t *g = font6x8[fontmap[cell & 0xFF]];
        uint8_t x = (cell >> 8) & INVERT ? 0xFF : 0x00;
        for (int i = 0; i < 6; i++) OledPushData(g[i] ^ x);
        oled_prev_buffer[row][c] = cell;
    }
    OledSetCursor(first * 6, row);
    OledFlushData();
}

// Sends every run of cells that differs from what the glass shows.
static void OledUpdateScreen() {
    std::lock_guard<std::recursive_mutex> hold(oledlock);
    for (int r = 0; r < ROWS; r++) {
        for (int c = 0; c < COLS;) {
            if (oled_screen_buffer[r][c] == oled_prev_buffer[r][c]) {
                c++;
                continue;
            }
            int end = c;
            while (end + 1 < COLS && oled_screen_buffer[r][end + 1] != oled_prev_buffer[r][end + 1]) end++;
            OledDrawScreen(r, c, end);
            c = end + 1;
        }
    }
}

static void OledClearAll() {
    std::lock_guard<std::recursive_mutex> hold(oledlock);
    memset(oled_screen_buffer, 0, sizeof oled_screen_buffer);
    for (int r = 0; r < ROWS; r++) OledDrawScreen(r, 0, COLS - 1);
}

// The drive table: "DRV0 CL05 WP" and the image's short name under it.
void ListDeviceOLED() {
    if (!OledPresent()) return;
    std::lock_guard<std::recursive_mutex> hold(oledlock);
    if (menu_state == MENU_RUNNING) return;
    for (int i = 0; i < 2; i++) {
        const fdd_t &d = fdd[i];
        char text[32];
        snprintf(text, sizeof text, "DRV%d CL%02d %s", i, param.step == 0 ? d.cylinder / 2 : d.cylinder,
                 d.protect ? "WP" : "");
        OledClearLine(2 * i);
        OledClearLine(2 * i + 1);
        OledSetString(2 * i, 0, text, 0);
        if (!d.disk) OledSetString(2 * i, 13, "-EMPTY-", 0);
        else OledSetString(2 * i + 1, 1, d.path.GetShort(), 0);
    }
    OledUpdateScreen();
}

// ---- Buttons and waits ------------------------------------------------------------

enum { BTN_NONE = 0, BTN_A = 4, BTN_B = 14, BTN_C = 15 };
static const uint32_t kButtons = 1u << 4 | 1u << 14 | 1u << 15;

static uint32_t MenuGetBtnLevel() { return ~hwseam::RegRead(gpioctl.levaddr) & kButtons; }

// One pause of the menu's waits: the control requests that came meanwhile
// are answered (busy) rather than left waiting for the menu to end.
static void MenuNap() {
    SleepUs(1000);
    AnswerWhileBusy();
}

// Waits us microseconds of the system timer, napping between looks so the
// control server never spins.
static void PanelWait(uint32_t us) {
    uint64_t start = SysTimer::GetTimer();
    while (SysTimer::GetTimer() - start < us && status != ST_STOP) MenuNap();
}

// A debounced click: no button for 10 ms, then the same buttons held for
// 10 ms. Gives up with 0 after 0.8 s, which is what makes the current choice
// of a page blink. A stop of the emulator reads as B, which leaves every page.
static int MenuSenseClickBtn() {
    const uint64_t start = SysTimer::GetTimer();
    auto expired = [&] { return SysTimer::GetTimer() - start > 800000; };
    for (;;) {
        if (status == ST_STOP) return BTN_B;
        if (expired()) return BTN_NONE;
        if (MenuGetBtnLevel()) {
            MenuNap();
            continue;
        }
        PanelWait(10000);
        if (!MenuGetBtnLevel()) break;
    }
    for (;;) {
        if (status == ST_STOP) return BTN_B;
        if (expired()) return BTN_NONE;
        uint32_t b = MenuGetBtnLevel();
        if (!b) {
            MenuNap();
            continue;
        }
        PanelWait(10000);
        if (MenuGetBtnLevel() == b) return (b & 1u << 4) ? BTN_A : (b & 1u << 15) ? BTN_C : BTN_B;
    }
}

static void ShowLines(const char *l0, const char *l1 = nullptr, const char *l2 = nullptr) {
    std::lock_guard<std::recursive_mutex> hold(oledlock);
    const char *lines[3] = {l0, l1, l2};
    for (int r = 0; r < ROWS; r++) OledClearLine(r);
    for (int r = 0; r < 3; r++)
        if (lines[r]) OledSetString(r, 0, lines[r], 0);
    OledUpdateScreen();
}

static void MenuPrintError(const char *message) {
    std::lock_guard<std::recursive_mutex> hold(oledlock);
    for (int r = 0; r < ROWS; r++) OledClearLine(r);
    OledSetString(1, 0, "ERROR", 0);
    OledSetString(2, 0, message, 0);
    OledUpdateScreen();
    PanelWait(2000000);
}

// ---- Choice pages ------------------------------------------------------------------

struct Choice {
    int row, column;
    const char *text;
};

// One page of choices under a title: A moves to the next (cyclically), C
// returns the current one, B returns -1.
static int MenuChoose(const char *title, const Choice *choices, int count) {
    int cur = 0, blink = 1;
    for (;;) {
        {
            std::lock_guard<std::recursive_mutex> hold(oledlock);
            for (int r = 0; r < ROWS; r++) OledClearLine(r);
            OledSetString(0, 5, title, 0);
            for (int i = 0; i < count; i++)
                OledSetString(choices[i].row, choices[i].column, choices[i].text, i == cur && blink ? INVERT : 0);
            OledUpdateScreen();
        }
        int b = MenuSenseClickBtn();
        if (b == BTN_B) return -1;
        if (b == BTN_C) return cur;
        blink = !blink;
        if (b == BTN_A) {
            cur = (cur + 1) % count;
            blink = 1;
        }
    }
}

static int MenuSelectDrive(int allow0, int allow1) {
    if (!allow0 && !allow1) return -1;
    static const Choice both[2] = {{2, 3, "DRIVE0"}, {2, 13, "DRIVE1"}};
    static const Choice one[2] = {{2, 7, "DRIVE0"}, {2, 7, "DRIVE1"}};
    if (allow0 && allow1) return MenuChoose("DRIVE SELECT", both, 2);
    int d = allow0 ? 0 : 1;
    return MenuChoose("DRIVE SELECT", &one[d], 1) < 0 ? -1 : d;
}

static int MenuSelectWriteProtect() {
    static const Choice wp[2] = {{2, 7, "OFF"}, {2, 14, "ON"}};
    return MenuChoose("WRITE PROTECT", wp, 2);
}

static int MenuSelectDiskType() {
    static const Choice types[4] = {{2, 0, "2HD(1.2M)"}, {2, 10, "2HD(1.44M)"}, {3, 0, "2DD"}, {3, 10, "2D"}};
    return MenuChoose("DISK TYPE", types, 4);
}

// Shows PROCESSING..., runs the work, then COMPLETED (or FAILED when the
// work did not do what was asked) for two seconds.
template <class Work> static void MenuProcess(Work work) {
    ShowLines("PROCESSING...");
    int ok = work();
    ShowLines("PROCESSING...", ok ? "COMPLETED" : "FAILED");
    PanelWait(2000000);
}

// ---- Menu actions --------------------------------------------------------------------

static void MenuProcInsert(const char *path) {
    int drive = MenuSelectDrive(1, 1);
    if (drive < 0) return;
    MenuProcess([&] { return ProcessCmd((unsigned)drive, 1, path); });
}

static void MenuEjectDisk() {
    if (!fdd[0].disk && !fdd[1].disk) {
        MenuPrintError("NO DISKS MOUNTED");
        return;
    }
    int drive = MenuSelectDrive(fdd[0].disk != nullptr, fdd[1].disk != nullptr);
    if (drive < 0) return;
    MenuProcess([&] { return ProcessCmd((unsigned)drive, 2, "-"); });
}

static void MenuWriteProtectDisk() {
    if (!fdd[0].disk && !fdd[1].disk) {
        MenuPrintError("NO DISKS MOUNTED");
        return;
    }
    int drive = MenuSelectDrive(fdd[0].disk != nullptr, fdd[1].disk != nullptr);
    if (drive < 0) return;
    int wp = MenuSelectWriteProtect();
    if (wp < 0) return;
    MenuProcess([&] {
        if (!fdd[drive].disk) return 0;
        printf("WP %d %d\n", wp, (int)fdd[drive].protect);
        return wp == fdd[drive].protect ? 1 : ProcessCmd((unsigned)drive, 3, "-");
    });
}

struct NewDiskKind {
    int type, rate, rpm;
};

static void MenuProcNewDisk(const char *folder) {
    static const NewDiskKind kinds[4] = {
        {ZEL_TYPE_2HD, 1000, 360},  // 2HD(1.2M)
        {ZEL_TYPE_2HD, 1000, 300},  // 2HD(1.44M)
        {ZEL_TYPE_2DD, 500, 300},   // 2DD
        {ZEL_TYPE_2D, 500, 300},    // 2D
    };
    int kind = MenuSelectDiskType();
    if (kind < 0) return;
    int wp = MenuSelectWriteProtect();
    if (wp < 0) return;
    ShowLines("PROCESSING...");

    char path[600], name[32];
    int n = 1;
    for (; n < 100; n++) {
        snprintf(path, sizeof path, "%s/NEWDISK%02d.ZEL", folder, n);
        Fileio probe;
        if (!probe.Open(path, Fileio::ReadOnly)) break;
    }
    Filepath fp;
    ZELDisk img;
    if (n == 100 || !fp.SetPath(path) || !img.Init(kinds[kind].type, kinds[kind].rate, kinds[kind].rpm, 0)) {
        MenuPrintError("CREATE FAILED");
        return;
    }
    if (wp) img.header.writeprotect = 1;
    if (!img.Save(fp, 1)) {
        MenuPrintError("CREATE FAILED");
        return;
    }
    snprintf(name, sizeof name, "NEWDISK%02d.ZEL", n);
    ShowLines("COMPLETED", "NEW DISK FILENAME", name);
    PanelWait(2000000);
}

// A folder browser page by page (three entries a page). The insert browser
// walks folder, folder, file (levels 0-2); the new-disk browser folder,
// folder (levels 0-1). The last level chooses; the others open the next.
struct Browser {
    int lastlevel;
    int files;                        // the last level lists files, not folders
    int *cursor;                      // remembered choice per level
    void (*choose)(const char *path);  // action at the last level
};

static void MenuBrowse(const Browser &br, const char *folder, const char *label, int level) {
    if (level > br.lastlevel) return;
    std::unique_ptr<char[][260]> entries(new char[99][260]);
    int count = Fileio::ListEntries(folder, br.files && level == br.lastlevel ? 1 : 0, entries.get(), 99, 260);
    if (count <= 0) {
        MenuPrintError("ENTRY NOT FOUND");
        return;
    }
    int cur = br.cursor[level] < count ? br.cursor[level] : 0;
    int blink = 1;
    for (;;) {
        {
            std::lock_guard<std::recursive_mutex> hold(oledlock);
            for (int r = 0; r < ROWS; r++) OledClearLine(r);
            char head[32];
            if (strlen(label) >= 15) snprintf(head, sizeof head, "%.13s~/", label);
            else snprintf(head, sizeof head, "%s/", label);
            OledSetString(0, 0, head, 0);
            char pos[32];
            snprintf(pos, sizeof pos, "%02d/%02d", cur + 1, count);
            OledSetString(0, 16, pos, 0);
            int first = cur / 3 * 3;
            for (int i = first; i < first + 3 && i < count; i++)
                OledSetString(1 + i - first, 0, entries[i], i == cur && blink ? INVERT : 0);
            OledUpdateScreen();
        }
        int b = MenuSenseClickBtn();
        if (b == BTN_B) return;
        if (b == BTN_A) {
            cur = (cur + 1) % count;
            blink = 1;
            continue;
        }
        if (b != BTN_C) {
            blink = !blink;
            continue;
        }
        char path[600];
        if ((size_t)snprintf(path, sizeof path, "%s/%s", folder, entries[cur]) >= sizeof path) continue;
        if (cur != br.cursor[level]) {
            br.cursor[level] = cur;
            for (int l = level + 1; l <= br.lastlevel; l++) br.cursor[l] = 0;
        }
        if (level == br.lastlevel) br.choose(path);
        else MenuBrowse(br, path, entries[cur], level + 1);
        blink = 1;
    }
}

static const Browser kInsertBrowser = {2, 1, level_cursor, MenuProcInsert};
static const Browser kCreateBrowser = {1, 0, create_cursor, MenuProcNewDisk};

void MenuSelectOperation() {
    static const char *const items[4] = {"INSERT DISK", "EJECT DISK", "WRITE PROTECT", "CREATE NEWDISK"};
    menu_state = MENU_RUNNING;
    OledClearAll();
    int cur = 0, blink = 1;
    for (;;) {
        {
            std::lock_guard<std::recursive_mutex> hold(oledlock);
            for (int i = 0; i < 4; i++) {
                OledClearLine(i);
                OledSetString(i, 0, items[i], i == cur && blink ? INVERT : 0);
            }
            OledUpdateScreen();
        }
        int b = MenuSenseClickBtn();
        if (b == BTN_B) break;
        if (b == BTN_C) {
            switch (cur) {
            case 0: MenuBrowse(kInsertBrowser, param.basedir, "TOP", 0); break;
            case 1: MenuEjectDisk(); break;
            case 2: MenuWriteProtectDisk(); break;
            default: MenuBrowse(kCreateBrowser, param.basedir, "TOP", 0); break;
            }
            OledClearAll();
            blink = 1;
            continue;
        }
        blink = !blink;
        if (b == BTN_A) {
            cur = (cur + 1) % 4;
            blink = 1;
        }
    }
    OledClearAll();
    menu_state = MENU_IDLE;
}

void MenuInit() {
    OledInit();
    menu_state = MENU_IDLE;
    memset(level_cursor, 0, sizeof level_cursor);
    memset(create_cursor, 0, sizeof create_cursor);
}

void MenuCleanup() {
    if (!OledPresent()) return;
    static const uint8_t off[2] = {0x80, 0xAE};
    OledSendBuffer(off, sizeof off);
}
