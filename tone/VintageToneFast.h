// The fast exact forms behind ToneRun. Internal to the library; the tests and
// benchmarks reach each form directly so that every one is checked on its own.
//
// Why integers give the same bytes as the double arithmetic
// ---------------------------------------------------------
// For one output channel with integer coefficients (cb, cg, cr) (the
// decimals times 1000), let N = cb*B + cg*G + cr*R, so the exact sum is
// N / 1000. The double sum s of the reference differs from N / 1000 by less
// than 1e-12: each coefficient is within 2^-53 (relative) of its decimal and
// each of the five roundings adds at most 2^-53 of a value below 512. (Over
// all 16,777,216 colours the largest difference is 5.7e-14.)
//  - When N is not a multiple of 1000, N / 1000 is at least 0.001 from every
//    integer, so floor(min(s, 255)) = min(N / 1000, 255) in integer division
//    (above 255000 both sides cap; below it s stays under 255).
//  - When N is a multiple of 1000 (other than 0, where s is exactly 0), s may
//    land just below the integer: 327 channel values over all colours do. Such
//    a pixel, "borderline", is computed again with the reference arithmetic.
// Darkening: trunc(k * 0.9) = floor(9k / 10) = (k * 58983) >> 16 for every k
// in 0..255. The exhaustive tests check every colour through every form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// The x86 vector forms are built with GCC or Clang for x86; everywhere else
// (or with SORVANE_TONE_NO_SIMD defined) only the portable form exists.
#if !defined(SORVANE_TONE_NO_SIMD) && (defined(__x86_64__) || defined(__i386__)) && \
    defined(__GNUC__)
#define SORVANE_TONE_X86 1
#else
#define SORVANE_TONE_X86 0
#endif
// The WebAssembly SIMD form exists in a build for wasm with -msimd128.
#if !defined(SORVANE_TONE_NO_SIMD) && defined(__wasm_simd128__)
#define SORVANE_TONE_WASM_SIMD 1
#else
#define SORVANE_TONE_WASM_SIMD 0
#endif

namespace sorvane::tonefast {

// Integer coefficients by output channel (blue, green, red) and input
// channel (blue, green, red), in thousandths.
inline constexpr std::int32_t kCoefficients[3][3] = {
    {131, 534, 272},  // blue
    {168, 686, 349},  // green
    {189, 769, 393},  // red
};

// floor(N / 1000) = ((N >> 3) * 33555) >> 22 for N in 0..344505 (the largest
// sum, red of white): N >> 3 fits in 16 bits, and the error of 33555 / 2^22
// against 1 / 125 stays below 1 / 125 over that range.
inline constexpr std::uint32_t kDivide125 = 33555;
// floor(9k / 10) = (k * 58983) >> 16 for k in 0..255.
inline constexpr std::uint32_t kDarken = 58983;

enum class ToneVariant {
    Portable,  // plain C++, any processor
    Sse41,     // x86 SSE4.1, 16 pixels per step
    Avx2,      // x86 AVX2, 32 pixels per step
    Avx512,    // x86 AVX-512 BW + VBMI, 64 pixels per step
    Simd128,   // WebAssembly 128-bit SIMD, 16 pixels per step
};

inline constexpr ToneVariant kAllToneVariants[] = {ToneVariant::Portable, ToneVariant::Sse41,
                                                   ToneVariant::Avx2, ToneVariant::Avx512,
                                                   ToneVariant::Simd128};

std::string_view ToneVariantName(ToneVariant variant);

// Whether this build holds the variant and this processor can run it.
bool ToneVariantAvailable(ToneVariant variant);

// The fastest available variant.
ToneVariant BestToneVariant();

// Tones bgr.size() / 3 whole pixels in place with the given variant, which
// must be available. Trailing bytes of a partial pixel are left alone.
void ToneRunWith(ToneVariant variant, std::span<std::uint8_t> bgr);

// Shared by the variants: tones one pixel exactly, from `in` to `out` (which
// may be the same pixel), with integers, or with the reference arithmetic
// when a channel is borderline.
void TonePixelExact(const std::uint8_t* in, std::uint8_t* out);

// After a vector step has written `out`, redoes with the reference
// arithmetic the pixel holding byte `at` if it is borderline; `in` is the
// step's input as it was.
void RedoIfBorderline(const std::uint8_t* in, std::uint8_t* out, std::size_t at);

// The x86 vector forms: each tones the whole steps (48, 96 or 192 bytes)
// at the start of `bytes`, reading and writing nothing past them, and
// returns how many bytes it toned; the caller does the rest.
std::size_t ToneStepsSse41(std::uint8_t* bytes, std::size_t size);
std::size_t ToneStepsAvx2(std::uint8_t* bytes, std::size_t size);
std::size_t ToneStepsAvx512(std::uint8_t* bytes, std::size_t size);
// Bytes per step of each.
inline constexpr std::size_t kSse41Step = 48, kAvx2Step = 96, kAvx512Step = 192;

// The WebAssembly SIMD form, the same way: steps of kSimd128Step bytes.
std::size_t ToneStepsSimd128(std::uint8_t* bytes, std::size_t size);
inline constexpr std::size_t kSimd128Step = 48;

}  // namespace sorvane::tonefast
