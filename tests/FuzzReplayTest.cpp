// Replays the fuzzer's seed corpus and every input it ever tripped on, with
// the fuzzer's own checks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fuzz/BMPInvariants.h"
#include "fuzz/SeedFiles.h"

namespace {

struct Regression {
    const char* name;
    std::vector<std::uint8_t> bytes;
};

// Generated from fuzz/regressions/*.bmp by tests/Hardening.cmake.
const std::vector<Regression>& Regressions() {
    static const std::vector<Regression> all = {
#include "FuzzRegressions.inc"
    };
    return all;
}

void Replay(const std::string& name, const std::vector<std::uint8_t>& input) {
    SCOPED_TRACE(name);
    std::vector<std::uint8_t> file = input;
    const sorvane::LayoutStatus status = sorvane::ToneBMPFile(file);
    EXPECT_EQ(sorvane::fuzzcheck::CheckToneInvariants(input, file, status), "");
}

TEST(FuzzReplay, SeedsKeepEveryPromise) {
    const auto seeds = sorvane::fuzzseed::SeedFiles();
    ASSERT_FALSE(seeds.empty());
    int converted = 0;
    for (const auto& seed : seeds) {
        Replay(seed.name, seed.bytes);
        std::vector<std::uint8_t> copy = seed.bytes;
        if (sorvane::ToneBMPFile(copy) == sorvane::LayoutStatus::Converted) ++converted;
    }
    // The corpus must reach the pixel checks, not only the refusals.
    EXPECT_GE(converted, 10);
}

TEST(FuzzReplay, FormerFindings) {
    for (const auto& r : Regressions()) Replay(r.name, r.bytes);
}

// The checks themselves catch what they are for.
TEST(FuzzReplay, ChecksCatchBrokenResults) {
    using sorvane::LayoutStatus;
    using sorvane::fuzzcheck::CheckToneInvariants;
    bmptest::Bmp24 padded;
    padded.width = 3;  // 3 padding bytes per row
    padded.height = 2;
    const std::vector<std::uint8_t> in = padded.Build();
    std::vector<std::uint8_t> good = in;
    ASSERT_EQ(sorvane::ToneBMPFile(good), LayoutStatus::Converted);
    EXPECT_EQ(CheckToneInvariants(in, good, LayoutStatus::Converted), "");

    auto broken = good;
    broken[20] ^= 1;  // info header
    EXPECT_NE(CheckToneInvariants(in, broken, LayoutStatus::Converted), "");
    broken = good;
    broken[54 + 9] ^= 1;  // first row's padding
    EXPECT_NE(CheckToneInvariants(in, broken, LayoutStatus::Converted), "");
    broken = good;
    broken[54] ^= 1;  // a pixel off by one
    EXPECT_NE(CheckToneInvariants(in, broken, LayoutStatus::Converted), "");
    EXPECT_NE(CheckToneInvariants(in, in, LayoutStatus::Converted), "");  // untoned
    EXPECT_NE(CheckToneInvariants(in, good, LayoutStatus::NotValid), "");
    EXPECT_NE(CheckToneInvariants(in, in, static_cast<LayoutStatus>(7)), "");
}

}  // namespace
