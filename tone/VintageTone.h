// Vintage tone: a fixed sepia matrix, capped at 255, then darkened by a tenth.
//
// Pixels are 3 bytes each in file order: blue, green, red. Every product and
// every sum is an IEEE binary64 operation rounded on its own, in the order
// written in VintageTone.cpp; the build forbids FMA contraction and fast-math,
// because a fused or reassociated sum changes some results by one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace sorvane {

// a when a compares below b, otherwise b. With b = 255.0 it is the upper cap.
double LesserOf(double a, double b);

// Tones width x height pixels in place, rows following each other with no gap.
// Nothing is visited when width <= 0 or height <= 0. This is the plain
// reference form: one pixel at a time, in memory order.
void ApplyVintageTone(std::uint8_t* block, std::int32_t width, std::int32_t height);

// Tones one pixel (blue, green, red) in place with the reference arithmetic.
void ToneOnePixel(std::uint8_t* pixel);

// Tones a run of whole pixels (bgr.size() / 3 of them) in place. Gives exactly
// the bytes ApplyVintageTone gives; may use a faster exact form.
void ToneRun(std::span<std::uint8_t> bgr);

// Tones `count` pixels of `pixelSize` bytes each, stored one after another,
// whose blue, green and red bytes lie at the offsets given inside each
// pixel (RGBA, ARGB, ...): the colours are gathered into blue, green, red
// runs for ToneRun and put back; every other byte is left as it is.
void ToneSpacedPixels(std::uint8_t* pixels, std::size_t count, std::size_t pixelSize,
                      std::size_t blue, std::size_t green, std::size_t red);

}  // namespace sorvane
