// The front panel: an SSD1306 display on I2C address 0x3C and three push
// buttons (A on GPIO 4, B on GPIO 14, C on GPIO 15; pressed = low).
//
// Each I2C write is one transfer whose first byte is a control byte:
//   0x00  the rest are commands       0x40  the rest are display data
//   0x80  one command, then another control byte
//   0xC0  one data byte, then another control byte
// Display data lands in the 8 x 128 byte RAM (bit 0 of a byte is the top row of
// its page) at the address pointer, which moves by the addressing mode. The
// picture is the first four pages: 128 x 32 pixels.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "sim.h"

int SimPanel::AddScriptLine(const std::string &text, std::string *error) {
    std::string line = text.substr(0, text.find('#'));
    size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) return 1;
    bool relative = line[first] == '+';
    std::istringstream in(line.substr(relative ? first + 1 : first));
    double ms, held = 100;
    std::string cmd, button, when, hex;
    Pending p{0, 0, -1, 0, 0, {}};
    bool ok = (bool)(in >> ms >> cmd >> button);
    if (ok && !(in >> held)) {
        in.clear();
        held = 100;
    }
    if (ok && relative && in >> when)
        ok = when == "when" && in >> p.page >> p.column >> hex && SimParseHex(hex, &p.want) && p.page >= 0 &&
             p.page < 8 && p.column >= 0 && p.column + (int)p.want.size() <= WIDTH;
    static const struct {
        const char *name;
        int pin;
    } buttons[] = {{"A", 4}, {"B", 14}, {"C", 15}, {"4", 4}, {"14", 14}, {"15", 15}};
    for (const auto &b : buttons)
        if (button == b.name) p.button = b.pin;
    if (!ok || cmd != "press" || p.button < 0 || held <= 0 || ms < 0) {
        *error = "panel script: bad line: " + text;
        return 0;
    }
    p.after = (int64_t)(ms * 1000 * SIM_PS_PER_US);
    p.held = (int64_t)(held * 1000 * SIM_PS_PER_US);
    if (relative) {
        waiting.push_back(p);
        return 1;
    }
    presses.push_back(Press{p.after, p.after + p.held, p.button});
    last_end = std::max(last_end, p.after + p.held);
    return 1;
}

// Places the next waiting press when display data has just been written at t
// after the last press ended, showing what the press waits for. Timing a
// press from an update keeps it clear of the program's debouncing, which
// starts right after each redraw.
void SimPanel::Schedule(int64_t t) {
    if (waiting_next >= waiting.size() || t < last_end) return;
    const Pending &p = waiting[waiting_next];
    if (!p.want.empty() && memcmp(&ram[p.page][p.column], p.want.data(), p.want.size()) != 0) return;
    presses.push_back(Press{t + p.after, t + p.after + p.held, p.button});
    last_end = t + p.after + p.held;
    waiting_next++;
}

int SimPanel::LoadScript(const char *path, std::string *error) {
    error->clear();
    if (SimForEachLine(path, [&](const std::string &line) { return AddScriptLine(line, error); })) return 1;
    if (error->empty()) *error = std::string("cannot read panel script ") + path;
    return 0;
}

uint32_t SimPanel::Asserted(int64_t t) {
    uint32_t m = 0;
    for (const Press &p : presses)
        if (t >= p.from && t < p.to) m |= 1u << p.button;
    return m;
}

void SimPanel::I2CWrite(int addr, const uint8_t *data, int len, int64_t t) {
    if (addr != 0x3C || len < 1) return;
    transfers++;
    bool drawn = false;
    int i = 0;
    while (i < len) {
        uint8_t control = data[i++];
        bool single = (control & 0x80) != 0, isdata = (control & 0x40) != 0;
        int end = single ? (i + 1 < len ? i + 1 : len) : len;
        drawn = drawn || (isdata && i < end);
        for (; i < end; i++) isdata ? Data(data[i]) : Command(data[i]);
    }
    if (drawn) Schedule(t);
}

void SimPanel::Command(uint8_t b) {
    if (pending_need > 0) {
        pending[pending_len++] = b;
        if (pending_len < pending_need) return;
        pending_need = 0;
        switch (pending[0]) {
        case 0x20: addressing = pending[1] & 3; break;
        case 0x21:
            col_lo = pending[1] & 127;
            col_hi = pending[2] & 127;
            col = col_lo;
            break;
        case 0x22:
            page_lo = pending[1] & 7;
            page_hi = pending[2] & 7;
            page = page_lo;
            break;
        }
        return;
    }
    static const struct {
        uint8_t op;
        int args;
    } withargs[] = {{0x20, 1}, {0x21, 2}, {0x22, 2}, {0x81, 1}, {0x8D, 1}, {0xA3, 2}, {0xA8, 1}, {0xD3, 1},
                    {0xD5, 1}, {0xD9, 1}, {0xDA, 1}, {0xDB, 1}, {0x26, 6}, {0x27, 6}, {0x29, 5}, {0x2A, 5}};
    for (const auto &w : withargs) {
        if (w.op == b) {
            pending[0] = b;
            pending_len = 1;
            pending_need = w.args + 1;
            return;
        }
    }
    if (b == 0xAE || b == 0xAF) on = b & 1;
    else if (b == 0xA6 || b == 0xA7) inverted = b & 1;
    else if (b >= 0xB0 && b <= 0xB7) page = b & 7;
    else if (b <= 0x0F) col = (col & 0xF0) | b;
    else if (b <= 0x1F) col = (col & 0x0F) | (b & 7) << 4;
}

void SimPanel::Data(uint8_t b) {
    ram[page][col] = b;
    if (addressing == 0) {  // horizontal
        if (++col > col_hi) {
            col = col_lo;
            if (++page > page_hi) page = page_lo;
        }
    } else if (addressing == 1) {  // vertical
        if (++page > page_hi) {
            page = page_lo;
            if (++col > col_hi) col = col_lo;
        }
    } else {  // page: the column wraps within the page
        col = (col + 1) & 127;
    }
}

// ---- Picture files ------------------------------------------------------------

static uint32_t Crc32(const uint8_t *p, size_t n, uint32_t crc = 0) {
    crc = ~crc;
    for (size_t i = 0; i < n; i++) {
        crc ^= p[i];
        for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

static void PutBE32(std::vector<uint8_t> *out, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out->push_back((uint8_t)(v >> s));
}

static void PngChunk(std::vector<uint8_t> *out, const char *type, const std::vector<uint8_t> &data) {
    PutBE32(out, (uint32_t)data.size());
    size_t at = out->size();
    out->insert(out->end(), type, type + 4);
    out->insert(out->end(), data.begin(), data.end());
    PutBE32(out, Crc32(out->data() + at, data.size() + 4));
}

// The picture in the display RAM, white pixels lit, also after the display
// was switched off (the last thing it showed); PGM at 1:1, PNG (grey, stored
// deflate blocks) at 4:1 so a person can look at it.
int SimPanel::SavePicture(const char *path) const {
    std::string p(path);
    bool pgm = p.size() >= 4 && (p.substr(p.size() - 4) == ".pgm" || p.substr(p.size() - 4) == ".PGM");
    int scale = pgm ? 1 : 4, w = WIDTH * scale, h = HEIGHT * scale;
    std::vector<uint8_t> rows;  // PNG rows start with a filter byte
    for (int y = 0; y < h; y++) {
        if (!pgm) rows.push_back(0);
        for (int x = 0; x < w; x++) rows.push_back((Pixel(x / scale, y / scale) ^ inverted) ? 255 : 0);
    }
    std::vector<uint8_t> out;
    if (pgm) {
        char head[32];
        int n = snprintf(head, sizeof head, "P5\n%d %d\n255\n", w, h);
        out.assign(head, head + n);
        out.insert(out.end(), rows.begin(), rows.end());
    } else {
        static const uint8_t sig[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
        out.assign(sig, sig + 8);
        std::vector<uint8_t> ihdr;
        PutBE32(&ihdr, (uint32_t)w);
        PutBE32(&ihdr, (uint32_t)h);
        ihdr.insert(ihdr.end(), {8, 0, 0, 0, 0});  // 8-bit grey
        PngChunk(&out, "IHDR", ihdr);
        std::vector<uint8_t> z = {0x78, 0x01};
        uint32_t a = 1, b = 0;
        for (size_t at = 0; at < rows.size();) {
            size_t n = std::min<size_t>(65535, rows.size() - at);
            z.push_back(at + n == rows.size() ? 1 : 0);
            z.insert(z.end(), {(uint8_t)n, (uint8_t)(n >> 8), (uint8_t)~n, (uint8_t)(~n >> 8)});
            z.insert(z.end(), rows.begin() + (long)at, rows.begin() + (long)(at + n));
            at += n;
        }
        for (uint8_t v : rows) {
            a = (a + v) % 65521;
            b = (b + a) % 65521;
        }
        PutBE32(&z, b << 16 | a);
        PngChunk(&out, "IDAT", z);
        PngChunk(&out, "IEND", {});
    }
    FILE *f = fopen(path, "wb");
    if (!f) return 0;
    int ok = fwrite(out.data(), 1, out.size(), f) == out.size();
    return (fclose(f) == 0) && ok;
}

void SimPanel::Finish(int64_t) {
    if (!picture_path.empty()) SavePicture(picture_path.c_str());
}
