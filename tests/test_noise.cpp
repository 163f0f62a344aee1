// Noise cancelling: which pulses of a raw revolution are erased and which stay.
#include <gtest/gtest.h>

#include <algorithm>

#include "zel_fixture.h"

namespace {

// Pulses at the running sum of the given intervals, starting at sample 8.
std::vector<int64_t> Edges(const std::vector<int> &intervals) {
    std::vector<int64_t> at{8};
    for (int d : intervals) at.push_back(at.back() + d);
    return at;
}

std::vector<int> Repeat(std::vector<int> v, int d, int n) {
    v.insert(v.end(), n, d);
    return v;
}

struct NoiseCase {
    const char *what;
    std::vector<int> intervals;
    int threshold;
    int erasures;
    std::vector<int> erased;  // indexes of the pulses expected gone
};

}  // namespace

TEST(NoiseCancelRaw, ErasesNoiseAndKeepsRhythm) {
    auto pre = Repeat({}, 16, 40);
    auto plus = [&](std::vector<int> tail) {
        auto v = pre;
        v.insert(v.end(), tail.begin(), tail.end());
        return Repeat(v, 16, 40);
    };
    // Alternating 35/10 jumps after an unstable start: 8 are rejected.
    auto jumps = plus({4, 35, 10, 35, 10, 35, 10, 35, 10, 35, 10, 35, 10, 35, 10, 35});
    const NoiseCase cases[] = {
        {"clean MFM intervals", plus({24, 32, 16, 24, 32, 32}), 8, 0, {}},
        {"MFM intervals two samples off the grid", plus({13, 19, 14, 34, 30, 18, 22, 26}), 8, 0, {}},
        // Spikes: one interval at most 1.5 cells, and the pulse whose removal
        // lands on the grid goes.
        {"spike 8 after and 8 before its neighbours", plus({8, 8}), 8, 1, {41}},
        {"spike 4 after and 12 before its neighbours", plus({4, 12}), 8, 1, {41}},
        {"spike 10 into a three-cell interval", plus({10, 14}), 8, 1, {41}},
        {"spike 6 into a four-cell interval", plus({6, 26}), 8, 1, {41}},
        {"spike 4 before a pulse that came 13 after its predecessor", plus({13, 4}), 8, 1, {41}},
        // The rhythm: bad intervals (outside 9..39) that no removal puts on the grid.
        {"X A B C D run of 8 cells, threshold 8", plus({4, 16, 32, 16, 5}), 8, 1, {42, 43, 44}},
        {"X A B C D run of 8 cells, threshold 7", plus({4, 16, 32, 16, 5}), 7, 0, {}},
        {"unstable stream rejects 8 jumps", jumps, 0, 8, {41, 42, 43, 44, 45, 46, 47, 48}},
        {"bad first interval, threshold 0", Repeat({5}, 16, 40), 0, 1, {0}},
    };
    for (const auto &c : cases) {
        std::vector<int64_t> at = Edges(c.intervals);
        int len = (int)at.back() + 8;  // closing interval 16
        Bits raw = RawWithPulses(len, at);
        std::vector<int64_t> kept;
        for (size_t i = 0; i < at.size(); i++)
            if (std::find(c.erased.begin(), c.erased.end(), (int)i) == c.erased.end()) kept.push_back(at[i]);
        EXPECT_EQ(c.erasures, NoiseCancelRaw(raw.data(), len, c.threshold)) << c.what;
        EXPECT_EQ(RawWithPulses(len, kept).Str(), raw.Str()) << c.what;
    }
}

TEST(NoiseCancelRaw, StreamsWithoutPulses) {
    Bits quiet(1000);
    EXPECT_EQ(0, NoiseCancelRaw(quiet.data(), 1000, 8));
    EXPECT_EQ(0, NoiseCancelRaw(nullptr, 0, 8));
}
