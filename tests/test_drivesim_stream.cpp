// drivesim's track streaming, drive sounds and panel font, compiled here from
// the program's own sources (they touch no hardware): what the host reads
// from a track, what its write pulses leave in the track, which WAV files are
// accepted, and that every character the panel may show has a glyph.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "../programs/drivesim_font.cpp"
#include "../programs/drivesim_sound.cpp"
#include "../programs/drivesim_stream.cpp"

namespace {

// A drive playing bits (one char per bit, '1' or '0') as an encode track.
struct Track {
    std::vector<uint8_t> data;
    fdd_t d;
    explicit Track(const std::string &bits, int type = 1) : data((bits.size() + 7) / 8) {
        for (size_t i = 0; i < bits.size(); i++)
            if (bits[i] == '1') data[i / 8] |= (uint8_t)(0x80 >> (i % 8));
        d.trackdata = data.data();
        d.tracklen = (int)bits.size();
        d.type = type;
        d.protect = 0;
        d.feedpos = 0;
        spi = spi_t();
    }
    std::string Bits() const {
        std::string s;
        for (int i = 0; i < d.tracklen; i++) s += (data[i / 8] >> (7 - i % 8)) & 1 ? '1' : '0';
        return s;
    }
    // n bytes as the host would receive them, as a bit string.
    std::string Read(int n, uint8_t (*next)(fdd_t &) = ReadData) {
        std::string s;
        for (int i = 0; i < n; i++) {
            uint8_t b = next(d);
            d.feedpos = WrapPos(d.feedpos + 8, d.tracklen);
            for (int k = 7; k >= 0; k--) s += (b >> k) & 1 ? '1' : '0';
        }
        return s;
    }
};

std::string Repeat(const std::string &s, int n) {
    std::string r;
    for (int i = 0; i < n; i++) r += s;
    return r;
}

TEST(DrivesimStream, XorshiftSequence) {
    // The generator is Marsaglia's 32-bit xorshift (13, 17, 5) from 2463534242.
    xorstate = 2463534242u;
    EXPECT_EQ(723471715u, rand_xor());
    EXPECT_EQ(2497366906u, rand_xor());
}

TEST(DrivesimStream, ValidCellsPassUnchangedAcrossTheTrackEnd) {
    // MFM-like cells (never four 0s in a row) on a track whose length is not a
    // multiple of 8: two revolutions read back exactly, wrapping mid-byte.
    std::string cells = Repeat("1001000100100100010", 7);  // 133 bits
    Track t(cells);
    std::string got = t.Read((int)cells.size() * 2 / 8);
    EXPECT_EQ((cells + cells).substr(0, got.size()), got);
}

TEST(DrivesimStream, LongZeroRunsBecomeRandomCells) {
    // "1000" keeps its three 0s; the run of 43 zero cells after the last
    // "1000" keeps its first three and then plays differently each revolution.
    std::string cells = Repeat("1000", 10) + std::string(40, '0') + Repeat("1000", 6);
    Track t(cells);
    std::string first = t.Read(11), second = t.Read(11);
    EXPECT_EQ(cells.substr(0, 40), first.substr(0, 40));
    EXPECT_NE(first.substr(44, 36), second.substr(44, 36));
    EXPECT_NE(std::string(36, '0'), first.substr(44, 36));
}

TEST(DrivesimStream, EveryByteAfterEveryZeroRunFollowsTheCellRule) {
    // The byte-at-a-time shortcut must agree with the cell rule: cells from
    // the fourth 0 of a run on come from the random word, the rest pass.
    // (A run of exactly 4 before the byte would move the head: left out.)
    for (int before : {0, 1, 2, 3, 5, 6}) {
        for (int b = 0; b < 256; b++) {
            std::vector<uint8_t> data = {(uint8_t)b};
            fdd_t d;
            d.type = 1;
            d.trackdata = data.data();
            d.tracklen = 8;
            d.feedpos = 0;
            spi = spi_t();
            spi.zeros = before;
            uint32_t saved = xorstate;
            uint8_t got = ReadData(d);
            xorstate = saved;
            uint32_t r = rand_xor();
            int z = before;
            uint8_t want = (uint8_t)b;
            for (int bit = 7; bit >= 0; bit--) {
                if (b >> bit & 1) z = 0;
                else if (++z >= 4) want = (uint8_t)((want & ~(1 << bit)) | (r & (1u << bit)));
            }
            if (z >= 8) want = (uint8_t)r;
            ASSERT_EQ(want, got) << "byte " << b << " after " << before << " zeros";
            ASSERT_EQ(std::min(z, 1 << 30), spi.zeros) << "byte " << b << " after " << before << " zeros";
        }
    }
}

TEST(DrivesimStream, RawZeroBytesFillWithPulses) {
    // Three zero bytes stay silent; from the fourth on a byte is 0 or a pulse
    // (fill), chosen afresh on every revolution.
    std::string bits = "11100000" + std::string(64, '0') + "00000111";
    int zeros = 0, pulses = 0;
    xorstate = 2463534242u;
    for (int rev = 0; rev < 16; rev++) {
        Track t(bits, 9);
        spi.fill = 0xE0;
        std::string out = t.Read(5, ReadDataRaw);
        EXPECT_EQ(bits.substr(0, 32), out.substr(0, 32));
        std::string fourth = out.substr(32, 8);
        zeros += fourth == "00000000";
        pulses += fourth == "11100000";
    }
    EXPECT_EQ(16, zeros + pulses);
    EXPECT_GT(zeros, 0);
    EXPECT_GT(pulses, 0);
}

// The host writes cells: each write pulse begins where the sampled line goes
// from released to asserted; samples come 8 per cell, first in bit 7.
std::vector<uint8_t> Samples(const std::string &cells) {
    std::vector<uint8_t> out(cells.size());
    for (size_t i = 0; i < cells.size(); i++) out[i] = cells[i] == '1' ? 0xC0 : 0x00;
    return out;
}

TEST(DrivesimStream, HostWriteReplacesCellsAndWraps) {
    struct Case {
        const char *name;
        int start;       // feedpos when the gate opens
        int protect;
    };
    const Case cases[] = {{"from 0", 0, 0}, {"across the end", 90, 0}, {"protected", 10, 1}};
    const std::string written = "10010001001010001001";
    for (const Case &c : cases) {
        Track t(std::string(100, '1'));
        t.d.feedpos = c.start;
        t.d.protect = c.protect;
        // A pulse as the gate opens marks the cell before the first written.
        MergeWrite(t.d, 0x80);
        for (uint8_t x : Samples(written)) MergeWrite(t.d, x);
        std::string bits = t.Bits();
        if (c.protect) {
            EXPECT_EQ(std::string(100, '1'), bits) << c.name;
        } else {
            std::string got;
            for (int i = 0; i < 20; i++) got += bits[(c.start + i) % 100];
            EXPECT_EQ(written, got) << c.name;
            EXPECT_EQ('1', bits[(c.start + 20) % 100]) << c.name << ": written past the last pulse";
        }
        EXPECT_EQ((c.start + 20) % 100, t.d.feedpos) << c.name;
    }
}

TEST(DrivesimStream, WriteIntervalsRoundToTheNearestCell) {
    // Pulses 15 and 20 samples apart are 2 and 3 cells (a fast and a slow host).
    Track t(std::string(16, '1'));
    std::vector<uint8_t> line(6, 0);
    line[0] = 0x80;                  // pulse at sample 0
    line[1] = 0x80 >> 7;             // sample 15
    line[4] = 0x80 >> 3;             // sample 35
    for (uint8_t x : line) MergeWrite(t.d, x);
    EXPECT_EQ("01001111", t.Bits().substr(0, 8));
    EXPECT_EQ(5, t.d.feedpos);
}

// ---- Drive sounds --------------------------------------------------------------

struct TempFile {
    std::string path;
    explicit TempFile(const std::vector<uint8_t> &bytes) {
        char name[] = "/tmp/zelmo-wav-XXXXXX";
        int fd = mkstemp(name);
        path = name;
        if (fd >= 0) {
            if (write(fd, bytes.data(), bytes.size()) != (ssize_t)bytes.size()) path += "-short";
            close(fd);
        }
    }
    ~TempFile() { unlink(path.c_str()); }
};

std::vector<uint8_t> Wav(uint16_t format, uint16_t channels, uint32_t rate, uint16_t bits, int samples,
                         bool extra_chunk = false, bool fmt18 = false) {
    std::vector<uint8_t> f;
    auto tag = [&](const char *t) { f.insert(f.end(), t, t + 4); };
    auto u32 = [&](uint32_t v) { for (int i = 0; i < 4; i++) f.push_back((uint8_t)(v >> (8 * i))); };
    auto u16 = [&](uint32_t v) { f.push_back((uint8_t)v); f.push_back((uint8_t)(v >> 8)); };
    tag("RIFF");
    u32(0);
    tag("WAVE");
    tag("fmt ");
    u32(fmt18 ? 18 : 16);
    u16(format);
    u16(channels);
    u32(rate);
    u32(rate * channels * bits / 8);
    u16(channels * bits / 8);
    u16(bits);
    if (fmt18) u16(0);
    if (extra_chunk) {
        tag("LIST");
        u32(5);  // odd: one pad byte follows
        f.insert(f.end(), {'a', 'b', 'c', 'd', 'e', 0});
    }
    tag("data");
    u32((uint32_t)samples);
    for (int i = 0; i < samples; i++) f.push_back((uint8_t)(128 + i % 7));
    return f;
}

TEST(DrivesimSound, AcceptsOnlyMono22050Hz8Bit) {
    struct Case {
        const char *name;
        std::vector<uint8_t> file;
        int loaded;
    };
    std::vector<uint8_t> truncated = Wav(1, 1, 22050, 8, 100);
    truncated.resize(truncated.size() - 10);
    std::vector<uint8_t> headeronly = Wav(1, 1, 22050, 8, 1);
    headeronly.resize(36);
    const Case cases[] = {
        {"plain", Wav(1, 1, 22050, 8, 100), 1},
        {"chunk before data", Wav(1, 1, 22050, 8, 100, true), 1},
        {"18-byte fmt", Wav(1, 1, 22050, 8, 100, false, true), 1},
        {"44100 Hz", Wav(1, 1, 44100, 8, 100), 0},
        {"16 bits", Wav(1, 1, 22050, 16, 100), 0},
        {"stereo", Wav(1, 2, 22050, 8, 100), 0},
        {"not PCM", Wav(3, 1, 22050, 8, 100), 0},
        {"no samples", Wav(1, 1, 22050, 8, 0), 0},
        {"data shorter than declared", truncated, 0},
        {"header only", headeronly, 0},
    };
    for (const Case &c : cases) {
        TempFile f(c.file);
        fddsnd_t s;
        EXPECT_EQ(c.loaded, LoadWavFile(f.path.c_str(), &s)) << c.name;
        EXPECT_EQ(c.loaded, s.loaded) << c.name;
        if (c.loaded) {
            ASSERT_EQ(100, s.length) << c.name;
            EXPECT_EQ(128 + 6, s.data[6]) << c.name;
        } else {
            EXPECT_EQ(nullptr, s.data) << c.name;
        }
        FreeWav(&s);
    }
}

// ---- Panel font -------------------------------------------------------------

TEST(DrivesimFont, EveryPrintableCharacterHasItsOwnGlyph) {
    std::vector<int> seen(FONT_GLYPHS, 0);
    for (int c = 0; c < 256; c++) {
        bool printable = (c >= 33 && c <= 126) || (c >= 161 && c <= 223);
        int g = fontmap[c];
        if (!printable) {
            EXPECT_EQ(0, g) << c;
            continue;
        }
        ASSERT_GT(g, 0) << c;
        ASSERT_LT(g, FONT_GLYPHS) << c;
        EXPECT_EQ(0, seen[g]++) << "glyph shared by " << c;
        int lit = 0;
        for (int col = 0; col < 6; col++) lit |= font6x8[g][col];
        EXPECT_NE(0, lit) << "blank glyph for " << c;
        EXPECT_EQ(0, font6x8[g][5]) << "spacing column lit for " << c;
        EXPECT_EQ(0, lit & 0x80) << "spacing row lit for " << c;
    }
    for (int col = 0; col < 6; col++) EXPECT_EQ(0, font6x8[0][col]);
}

TEST(DrivesimFont, GlyphsAreDrawnColumnByColumnFromTheTop) {
    // 'L': a full left column and a bottom row.
    const uint8_t *l = font6x8[fontmap['L']];
    EXPECT_EQ(0x7F, l[0]);
    for (int col = 1; col < 5; col++) EXPECT_EQ(0x40, l[col]) << col;
}

}  // namespace
