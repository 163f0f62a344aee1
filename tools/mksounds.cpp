// mksounds: synthesises the three drive sounds that drivesim plays through
// PWM — the head seek click, the disk insert and the disk eject — as 22050 Hz
// 8-bit mono PCM WAV files, the only form drivesim accepts.
//
//   mksounds DIR     writes DIR/fddseek.wav, DIR/fddinsert.wav, DIR/fddeject.wav
//
// Every sound is built from two pieces: a "thump" (a decaying low sine, the
// mechanism hitting its stop) and a "rasp" (decaying noise through a one-pole
// low-pass, plastic and metal sliding). The noise comes from a fixed-seed
// generator, so the files are the same on every build.
//
// WAV layout written (numbers little-endian):
//   0  "RIFF", 4 file size - 8, 8 "WAVE"
//  12  "fmt ", 16 size 16, 20 format 1 (PCM), 22 channels 1, 24 rate 22050,
//      28 bytes/s 22050, 32 block align 1, 34 bits 8
//  36  "data", 40 sample count, 44 samples (unsigned, silence 128)
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const int kRate = 22050;

struct Noise {
    uint32_t y = 0x1234567u;
    double Next() {  // -1 .. 1
        y ^= y << 13;
        y ^= y >> 17;
        y ^= y << 5;
        return (double)(y & 0xFFFF) / 32768.0 - 1.0;
    }
};

// One sound being built, as floating samples in -1 .. 1.
struct Sound {
    std::vector<double> s;
    explicit Sound(double seconds) : s((size_t)(seconds * kRate), 0.0) {}

    // A decaying sine starting at t seconds.
    void Thump(double t, double freq, double amp, double decay) {
        for (size_t i = (size_t)(t * kRate); i < s.size(); i++) {
            double x = (double)(i - (size_t)(t * kRate)) / kRate;
            s[i] += amp * std::exp(-x / decay) * std::sin(2 * M_PI * freq * x);
        }
    }
    // Low-passed noise from t for len seconds; smooth 0..1 sets the filter,
    // the envelope rises over the first fifth and then decays.
    void Rasp(Noise &n, double t, double len, double amp, double smooth) {
        size_t a = (size_t)(t * kRate), b = (size_t)((t + len) * kRate);
        double lp = 0;
        for (size_t i = a; i < b && i < s.size(); i++) {
            double x = (double)(i - a) / (double)(b - a);
            double env = x < 0.2 ? x / 0.2 : std::exp(-(x - 0.2) * 4);
            lp = smooth * lp + (1 - smooth) * n.Next();
            s[i] += amp * env * lp;
        }
    }

    std::vector<uint8_t> Pcm8() const {
        std::vector<uint8_t> out(s.size());
        for (size_t i = 0; i < s.size(); i++) {
            double v = s[i] > 1 ? 1 : s[i] < -1 ? -1 : s[i];
            out[i] = (uint8_t)std::lround(128 + v * 127);
        }
        return out;
    }
};

void Put32(std::vector<uint8_t> &b, uint32_t v) {
    for (int i = 0; i < 4; i++) b.push_back((uint8_t)(v >> (8 * i)));
}
void Put16(std::vector<uint8_t> &b, uint32_t v) {
    b.push_back((uint8_t)v);
    b.push_back((uint8_t)(v >> 8));
}
void PutTag(std::vector<uint8_t> &b, const char *tag) { b.insert(b.end(), tag, tag + 4); }

bool WriteWav(const std::string &path, const std::vector<uint8_t> &pcm) {
    std::vector<uint8_t> f;
    PutTag(f, "RIFF");
    Put32(f, (uint32_t)(36 + pcm.size()));
    PutTag(f, "WAVE");
    PutTag(f, "fmt ");
    Put32(f, 16);
    Put16(f, 1);
    Put16(f, 1);
    Put32(f, kRate);
    Put32(f, kRate);
    Put16(f, 1);
    Put16(f, 8);
    PutTag(f, "data");
    Put32(f, (uint32_t)pcm.size());
    f.insert(f.end(), pcm.begin(), pcm.end());
    FILE *fp = fopen(path.c_str(), "wb");
    if (!fp) return false;
    bool ok = fwrite(f.data(), 1, f.size(), fp) == f.size();
    return fclose(fp) == 0 && ok;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "Usage: %s DIR\n", argv[0]);
        return 22;
    }
    std::string dir = argv[1];
    Noise noise;

    // Seek: one short click of the stepper, about 25 ms.
    Sound seek(0.025);
    seek.Thump(0, 180, 0.6, 0.006);
    seek.Rasp(noise, 0, 0.012, 0.35, 0.3);

    // Insert: the disk slides in, the shutter opens, the clamp drops.
    Sound insert(0.40);
    insert.Rasp(noise, 0, 0.22, 0.30, 0.85);
    insert.Rasp(noise, 0.20, 0.06, 0.25, 0.5);
    insert.Thump(0.26, 90, 0.8, 0.03);
    insert.Thump(0.27, 240, 0.3, 0.01);

    // Eject: the latch releases with a clack and the spring pushes the disk out.
    Sound eject(0.35);
    eject.Thump(0, 130, 0.8, 0.02);
    eject.Thump(0.005, 420, 0.35, 0.008);
    eject.Rasp(noise, 0.03, 0.25, 0.28, 0.8);

    const struct {
        const char *name;
        const Sound &sound;
    } files[] = {{"fddseek.wav", seek}, {"fddinsert.wav", insert}, {"fddeject.wav", eject}};
    for (const auto &f : files) {
        if (!WriteWav(dir + "/" + f.name, f.sound.Pcm8())) {
            fprintf(stderr, "Error : Can't write %s/%s\n", dir.c_str(), f.name);
            return 14;
        }
    }
    return 0;
}
