#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tone/VintageTone.h"
#include "tone/VintageToneFast.h"

namespace {

struct PixelCase {
    std::uint8_t in[3];  // blue, green, red
    std::uint8_t out[3];
    const char* why;
};

const PixelCase kPixels[] = {
    {{0, 0, 0}, {0, 0, 0}, "black"},
    {{255, 255, 255}, {214, 229, 229}, "white: red and green capped, blue not"},
    {{128, 128, 128}, {107, 137, 154}, "grey"},
    {{255, 0, 0}, {29, 37, 43}, "pure blue"},
    {{0, 255, 0}, {122, 156, 176}, "pure green"},
    {{0, 0, 255}, {62, 79, 90}, "pure red"},
    {{10, 20, 30}, {18, 22, 26}, "dark"},
    {{100, 150, 200}, {132, 170, 190}, "mid"},
    // Red product added first would give (126, 162, 182), (44, 56, 63), (23, 30, 34).
    {{1, 171, 184}, {126, 162, 183}, "order of additions, red"},
    {{1, 32, 120}, {44, 57, 63}, "order of additions, green"},
    {{10, 15, 65}, {24, 30, 34}, "order of additions, blue"},
    // A fused multiply-add of the last product would end one lower here.
    {{7, 93, 120}, {74, 95, 108}, "no FMA contraction, red"},
    {{19, 123, 70}, {78, 100, 112}, "no FMA contraction, green"},
    {{214, 229, 229}, {190, 229, 229}, "white toned twice"},
};

TEST(VintageTone, PixelTable) {
    for (const auto& c : kPixels) {
        std::uint8_t p[3] = {c.in[0], c.in[1], c.in[2]};
        sorvane::ToneOnePixel(p);
        EXPECT_EQ(std::vector<int>(p, p + 3), std::vector<int>(c.out, c.out + 3)) << c.why;

        std::uint8_t q[3] = {c.in[0], c.in[1], c.in[2]};
        sorvane::ApplyVintageTone(q, 1, 1);
        EXPECT_EQ(0, std::memcmp(p, q, 3)) << c.why;
        sorvane::ToneRun(std::span<std::uint8_t>(q, 3));
        std::uint8_t twice[3] = {c.out[0], c.out[1], c.out[2]};
        sorvane::ToneOnePixel(twice);
        EXPECT_EQ(0, std::memcmp(q, twice, 3)) << c.why << " (run)";
    }
}

TEST(VintageTone, NotIdempotent) {
    std::uint8_t p[3] = {255, 255, 255};
    sorvane::ApplyVintageTone(p, 1, 1);
    sorvane::ApplyVintageTone(p, 1, 1);
    EXPECT_EQ(std::vector<int>(p, p + 3), (std::vector<int>{190, 229, 229}));
}

TEST(VintageTone, LesserOfCapsAt255) {
    EXPECT_EQ(sorvane::LesserOf(254.999, 255.0), 254.999);
    EXPECT_EQ(sorvane::LesserOf(255.0, 255.0), 255.0);
    EXPECT_EQ(sorvane::LesserOf(300.5, 255.0), 255.0);
}

TEST(VintageTone, EmptyOrNegativeBlockUntouched) {
    const std::int32_t dims[][2] = {{0, 4}, {4, 0}, {-1, 4}, {4, -1}, {-3, -3}};
    for (const auto& d : dims) {
        std::vector<std::uint8_t> block(48, 0x77);
        sorvane::ApplyVintageTone(block.data(), d[0], d[1]);
        EXPECT_EQ(block, std::vector<std::uint8_t>(48, 0x77)) << d[0] << "x" << d[1];
    }
}

TEST(VintageTone, TraversesRowsWithoutGaps) {
    // 3 x 2 block: all six pixels toned, nothing beyond touched.
    std::vector<std::uint8_t> block(18 + 3, 255);
    sorvane::ApplyVintageTone(block.data(), 3, 2);
    for (int i = 0; i < 18; i += 3)
        EXPECT_EQ(std::vector<int>(block.begin() + i, block.begin() + i + 3),
                  (std::vector<int>{214, 229, 229}));
    EXPECT_EQ(block[18], 255);
}

// Every colour, through the reference, each form and what ToneRun picks,
// against PlainTone: tone_exhaustive (tests/tone_exhaustive.cpp), which runs
// beside this suite on every platform CI checks.

TEST(VintageTone, RunMatchesReferenceAtEveryLengthAndAlignment) {
    // Whatever a faster form does with blocks of pixels, odd lengths and
    // odd starting addresses must come out the same as the reference.
    std::vector<std::uint8_t> source(3 * 200 + 16);
    for (std::size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<std::uint8_t>(i * 131 + 7);
    for (std::size_t offset = 0; offset < 4; ++offset)
        for (std::size_t pixels = 0; pixels <= 200; pixels += (pixels < 40 ? 1 : 37)) {
            std::vector<std::uint8_t> fast = source, ref = source;
            sorvane::ToneRun(std::span<std::uint8_t>(fast.data() + offset, pixels * 3));
            sorvane::ApplyVintageTone(ref.data() + offset, static_cast<std::int32_t>(pixels), 1);
            ASSERT_EQ(fast, ref) << "offset " << offset << " pixels " << pixels;
        }
}

}  // namespace

// ---- Each fast form on its own ----------------------------------------------

namespace {

using sorvane::tonefast::ToneVariant;

std::vector<ToneVariant> Available() {
    std::vector<ToneVariant> out;
    for (const ToneVariant v : sorvane::tonefast::kAllToneVariants)
        if (sorvane::tonefast::ToneVariantAvailable(v)) out.push_back(v);
    return out;
}

std::string Name(ToneVariant v) {
    return std::string(sorvane::tonefast::ToneVariantName(v));
}

// A colour whose green sum is exactly 114 where the double sum falls just
// short (113.99999...): the fast forms must hand it to the reference.
constexpr std::uint8_t kBorderline[3] = {213, 113, 2};

TEST(ToneVariants, PortableAlwaysAvailableAndBestIsAvailable) {
    EXPECT_TRUE(sorvane::tonefast::ToneVariantAvailable(ToneVariant::Portable));
    EXPECT_TRUE(sorvane::tonefast::ToneVariantAvailable(sorvane::tonefast::BestToneVariant()));
}

TEST(ToneVariants, BorderlineColourNeedsTheReference) {
    // The integer quotient alone would give green floor(0.9 * 114) = 102.
    std::uint8_t p[3] = {kBorderline[0], kBorderline[1], kBorderline[2]};
    sorvane::ToneOnePixel(p);
    EXPECT_EQ(p[1], 101);
}

TEST(ToneVariants, EachHandlesEveryLengthAndAlignment) {
    // Lengths around every step size (16, 32 and 64 pixels), odd start
    // addresses, a partial pixel at the end, and borderline colours sprinkled
    // in so that the redone pixels fall in whole steps and in tails.
    std::vector<std::uint8_t> source(3 * 300 + 8);
    for (std::size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<std::uint8_t>(i * 151 + 29);
    for (std::size_t px = 5; px < 300; px += 23) std::memcpy(&source[3 * px], kBorderline, 3);
    for (const ToneVariant v : Available())
        for (std::size_t offset = 0; offset < 4; ++offset)
            for (std::size_t pixels = 0; pixels <= 260; ++pixels)
                for (std::size_t partial = 0; partial < 3; partial += 2) {
                    std::vector<std::uint8_t> fast = source, ref = source;
                    sorvane::tonefast::ToneRunWith(
                        v, std::span<std::uint8_t>(fast.data() + offset, pixels * 3 + partial));
                    sorvane::ApplyVintageTone(ref.data() + offset,
                                              static_cast<std::int32_t>(pixels), 1);
                    ASSERT_EQ(fast, ref) << Name(v) << " offset " << offset << " pixels " << pixels
                                         << " partial " << partial;
                }
}

TEST(ToneVariants, EachHandlesRunsWhereEveryStepIsBorderline) {
    // Every pixel borderline: every vector step waits for the reference, more
    // steps than wait at once, and the tail too.
    std::vector<std::uint8_t> source(3 * 5000);
    for (std::size_t px = 0; px < 5000; ++px) std::memcpy(&source[3 * px], kBorderline, 3);
    std::vector<std::uint8_t> want = source;
    sorvane::ApplyVintageTone(want.data(), 5000, 1);
    for (const ToneVariant v : Available()) {
        std::vector<std::uint8_t> got = source;
        sorvane::tonefast::ToneRunWith(v, got);
        EXPECT_EQ(got, want) << Name(v);
    }
}

}  // namespace
