#include "tone/VintageTone.h"

#include <algorithm>
#include <cfloat>

#include "tone/VintageToneFast.h"

// Every product and sum below must be rounded to double as it is made. A
// compiler that keeps doubles wider between operations (the x87 unit of
// 32-bit x86, FLT_EVAL_METHOD 2) rounds twice or not at all and gives other
// bytes for some colours. On 32-bit x86 build with -msse2 -mfpmath=sse (the
// CMake build adds them).
static_assert(FLT_EVAL_METHOD == 0,
              "doubles are evaluated in extended precision (FLT_EVAL_METHOD != 0): the tone "
              "would not be exact; on 32-bit x86 compile with -msse2 -mfpmath=sse");

namespace sorvane {

namespace {

// Each coefficient is the double nearest to the decimal written.
constexpr double kRedFromRed = 0.393, kRedFromGreen = 0.769, kRedFromBlue = 0.189;
constexpr double kGreenFromRed = 0.349, kGreenFromGreen = 0.686, kGreenFromBlue = 0.168;
constexpr double kBlueFromRed = 0.272, kBlueFromGreen = 0.534, kBlueFromBlue = 0.131;
constexpr double kCap = 255.0;
constexpr double kDarken = 0.9;

// Truncation toward zero; the values here are always in [0, 255].
inline std::uint8_t Truncate(double v) {
    return static_cast<std::uint8_t>(static_cast<int>(v));
}

}  // namespace

double LesserOf(double a, double b) {
    return a < b ? a : b;
}

void ToneOnePixel(std::uint8_t* p) {
    const double b = p[0];
    const double g = p[1];
    const double r = p[2];

    // The association of each sum is part of the result: the first two
    // products are added, then the third is added to that.
    const double sR = (b * kRedFromBlue + g * kRedFromGreen) + r * kRedFromRed;
    p[2] = Truncate(LesserOf(sR, kCap));
    const double sG = (g * kGreenFromGreen + b * kGreenFromBlue) + r * kGreenFromRed;
    p[1] = Truncate(LesserOf(sG, kCap));

    // Darkening reads back the byte just stored.
    p[2] = Truncate(static_cast<double>(p[2]) * kDarken);
    p[1] = Truncate(static_cast<double>(p[1]) * kDarken);

    const double sB = (g * kBlueFromGreen + b * kBlueFromBlue) + r * kBlueFromRed;
    const std::uint8_t k = Truncate(LesserOf(sB, kCap));
    p[0] = Truncate(static_cast<double>(k) * kDarken);
}

void ApplyVintageTone(std::uint8_t* block, std::int32_t width, std::int32_t height) {
    if (width <= 0 || height <= 0) return;
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    std::uint8_t* row = block;
    for (std::int32_t r = 0; r < height; ++r) {
        for (std::size_t c = 0; c < rowBytes; c += 3) ToneOnePixel(row + c);
        row += rowBytes;
    }
}

void ToneRun(std::span<std::uint8_t> bgr) {
    // The same bytes as ToneOnePixel, by exact integer forms (VintageToneFast.h).
    tonefast::ToneRunWith(tonefast::BestToneVariant(), bgr);
}

void ToneSpacedPixels(std::uint8_t* pixels, std::size_t count, std::size_t pixelSize,
                      std::size_t blue, std::size_t green, std::size_t red) {
    constexpr std::size_t kBatch = 512;
    std::uint8_t bgr[kBatch * 3];
    for (std::size_t done = 0; done < count; done += kBatch) {
        const std::size_t n = std::min(kBatch, count - done);
        std::uint8_t* const first = pixels + done * pixelSize;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t* const q = first + i * pixelSize;
            bgr[i * 3] = q[blue], bgr[i * 3 + 1] = q[green], bgr[i * 3 + 2] = q[red];
        }
        ToneRun({bgr, n * 3});
        for (std::size_t i = 0; i < n; ++i) {
            std::uint8_t* const q = first + i * pixelSize;
            q[blue] = bgr[i * 3], q[green] = bgr[i * 3 + 1], q[red] = bgr[i * 3 + 2];
        }
    }
}

}  // namespace sorvane
