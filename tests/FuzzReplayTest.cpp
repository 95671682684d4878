// Replays the fuzzer's seed corpus and every input it ever tripped on, with
// the fuzzer's own checks, whole and streamed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fuzz/BMPInvariants.h"
#include "fuzz/SeedFiles.h"
#include "fuzz/StreamCheck.h"

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
    EXPECT_EQ(sorvane::fuzzcheck::CheckStreamedConversion(input, status, file), "");
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

    // Any bit flipped in the first colour of other kinds (a 16-bit pixel, a
    // 32-bit pixel with its alpha byte, a table entry with its reserved byte).
    struct Kind {
        const char* name;
        bmptest::InfoKind info;
        std::uint16_t bits;
        std::uint32_t compression;
        bmptest::Masks masks;
        bool table;  // flip the table's first entry, else the first pixel
    };
    const bmptest::Masks m565{0xF800, 0x07E0, 0x001F, 0};
    const bmptest::Masks argb{0xFF0000, 0xFF00, 0xFF, 0xFF000000};
    using enum bmptest::InfoKind;
    const Kind kinds[] = {
        {"16-bit 5-5-5", Info40, 16, bmptest::kRGB, {}, false},
        {"16-bit 5-6-5", V5_124, 16, bmptest::kBitFields, m565, false},
        {"32-bit alpha", Info40, 32, bmptest::kAlphaBitFields, argb, false},
        {"8-bit table", V3_56, 8, bmptest::kRGB, {}, true},
        {"4-bit core table", Core12, 4, bmptest::kRGB, {}, true},
    };
    for (const Kind& k : kinds) {
        SCOPED_TRACE(k.name);
        bmptest::BmpImage image;
        image.info = k.info;
        image.bits = k.bits;
        image.compression = k.compression;
        image.masks = k.masks;
        if (k.bits <= 8) image.palette = {{10, 200, 30}, {250, 5, 128}};
        const std::vector<std::uint8_t> before = image.Build().bytes;
        std::vector<std::uint8_t> after = before;
        ASSERT_EQ(sorvane::ToneBMPFile(after), LayoutStatus::Converted);
        ASSERT_EQ(CheckToneInvariants(before, after, LayoutStatus::Converted), "");
        const std::size_t at = k.table ? image.TableOffset() : image.PixelOffset();
        const std::size_t bytes = k.table ? image.EntrySize() : k.bits / 8;
        for (std::size_t i = at; i < at + bytes; ++i)
            for (int bit = 0; bit < 8; ++bit) {
                auto broken = after;
                broken[i] ^= 1 << bit;
                EXPECT_NE(CheckToneInvariants(before, broken, LayoutStatus::Converted), "")
                    << "byte " << i << " bit " << bit;
            }
    }
}

// A true stream passes under every fault; one that differs from the whole-file
// result, or that converts what the whole-file conversion refuses, does not.
TEST(FuzzReplay, StreamChecksCatchBrokenResults) {
    using sorvane::LayoutStatus;
    using sorvane::fuzzcheck::CheckStreamedConversion;
    std::vector<std::uint8_t> in = bmptest::MakeBmp24(5, 3).Build();
    in[7] = 7;  // reads of 7 and 1 bytes in turn, through the smallest buffer
    in[8] = 1;
    std::vector<std::uint8_t> whole;
    // No fault, then reads failing, the input changing, writes failing and no
    // output, each at the middle of the file.
    for (const std::uint8_t fault : {0x00, 0x90, 0xB0, 0xD0, 0xF0}) {
        in[9] = fault;
        whole = in;
        ASSERT_EQ(sorvane::ToneBMPFile(whole), LayoutStatus::Converted);
        EXPECT_EQ(CheckStreamedConversion(in, LayoutStatus::Converted, whole), "") << +fault;
    }
    EXPECT_NE(CheckStreamedConversion(in, LayoutStatus::Unsupported, whole), "");
    in[9] = whole[9] = 0;
    EXPECT_NE(CheckStreamedConversion(in, LayoutStatus::NotValid, whole), "");
    whole[60] ^= 1;
    EXPECT_NE(CheckStreamedConversion(in, LayoutStatus::Converted, whole), "");
}

}  // namespace
