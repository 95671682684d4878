// The portable exact form, the choice among the forms, and what they share.
#include "tone/VintageToneFast.h"

#include <algorithm>
#include <cstring>

#include "tone/VintageTone.h"

namespace sorvane::tonefast {

namespace {

// The sum of one output channel, in thousandths (see VintageToneFast.h).
inline std::uint32_t Sum(const std::int32_t (&c)[3], std::uint32_t b, std::uint32_t g,
                         std::uint32_t r) {
    return static_cast<std::uint32_t>(c[0]) * b + static_cast<std::uint32_t>(c[1]) * g +
           static_cast<std::uint32_t>(c[2]) * r;
}

// floor(n / 1000), for n up to the largest sum (see VintageToneFast.h).
inline std::uint32_t Thousands(std::uint32_t n) {
    return ((n >> 3) * kDivide125) >> 22;
}

inline std::uint8_t Darkened(std::uint32_t k) {
    return static_cast<std::uint8_t>((std::min<std::uint32_t>(k, 255) * kDarken) >> 16);
}

#if SORVANE_TONE_X86 || SORVANE_TONE_WASM_SIMD
// Tones the last few pixels (fewer than one step) through a zeroed copy, so
// that a vector step never reaches past the run.
void ToneTail(std::size_t (*steps)(std::uint8_t*, std::size_t), std::size_t step,
              std::uint8_t* bytes, std::size_t size) {
    if (size == 0) return;
    std::uint8_t local[kAvx512Step] = {};
    std::memcpy(local, bytes, size);
    steps(local, step);
    std::memcpy(bytes, local, size);
}
#endif

}  // namespace

void TonePixelExact(const std::uint8_t* in, std::uint8_t* out) {
    const std::uint32_t b = in[0], g = in[1], r = in[2];
    const std::uint32_t nB = Sum(kCoefficients[0], b, g, r);
    const std::uint32_t nG = Sum(kCoefficients[1], b, g, r);
    const std::uint32_t nR = Sum(kCoefficients[2], b, g, r);
    const std::uint32_t kB = Thousands(nB), kG = Thousands(nG), kR = Thousands(nR);
    // Borderline: a non-zero multiple of 1000, where the double sum may fall
    // just short of the integer.
    const bool borderline =
        (nB == kB * 1000 && nB != 0) | (nG == kG * 1000 && nG != 0) | (nR == kR * 1000 && nR != 0);
    if (borderline) {
        std::uint8_t p[3] = {in[0], in[1], in[2]};
        ToneOnePixel(p);
        std::memcpy(out, p, 3);
        return;
    }
    out[0] = Darkened(kB);
    out[1] = Darkened(kG);
    out[2] = Darkened(kR);
}

void RedoIfBorderline(const std::uint8_t* in, std::uint8_t* out, std::size_t at) {
    const std::size_t first = at - at % 3;
    TonePixelExact(in + first, out + first);
}

std::string_view ToneVariantName(ToneVariant variant) {
    switch (variant) {
        case ToneVariant::Portable:
            return "portable";
        case ToneVariant::Sse41:
            return "sse4.1";
        case ToneVariant::Avx2:
            return "avx2";
        case ToneVariant::Avx512:
            return "avx512";
        case ToneVariant::Simd128:
            return "wasm-simd128";
    }
    return "?";
}

bool ToneVariantAvailable(ToneVariant variant) {
#if SORVANE_TONE_X86
    // Reads what the runtime found at start-up, including whether the
    // operating system saves the wider registers.
    __builtin_cpu_init();
    switch (variant) {
        case ToneVariant::Portable:
            return true;
        case ToneVariant::Sse41:
            return __builtin_cpu_supports("sse4.1");
        case ToneVariant::Avx2:
            return __builtin_cpu_supports("avx2");
        case ToneVariant::Avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vbmi");
        case ToneVariant::Simd128:
            return false;
    }
    return false;
#else
    // A wasm engine that cannot run SIMD refuses the whole module, so a
    // module that holds the SIMD form always runs it.
    return variant == ToneVariant::Portable ||
           (SORVANE_TONE_WASM_SIMD && variant == ToneVariant::Simd128);
#endif
}

ToneVariant BestToneVariant() {
    for (const ToneVariant v :
         {ToneVariant::Avx512, ToneVariant::Avx2, ToneVariant::Sse41, ToneVariant::Simd128})
        if (ToneVariantAvailable(v)) return v;
    return ToneVariant::Portable;
}

void ToneRunWith(ToneVariant variant, std::span<std::uint8_t> bgr) {
    std::uint8_t* bytes = bgr.data();
    const std::size_t size = bgr.size() - bgr.size() % 3;
    std::size_t done = 0;
#if SORVANE_TONE_X86 || SORVANE_TONE_WASM_SIMD
    std::size_t (*steps)(std::uint8_t*, std::size_t) = nullptr;
    std::size_t step = 0;
    switch (variant) {
#if SORVANE_TONE_X86
        case ToneVariant::Sse41:
            steps = ToneStepsSse41, step = kSse41Step;
            break;
        case ToneVariant::Avx2:
            steps = ToneStepsAvx2, step = kAvx2Step;
            break;
        case ToneVariant::Avx512:
            steps = ToneStepsAvx512, step = kAvx512Step;
            break;
#endif
#if SORVANE_TONE_WASM_SIMD
        case ToneVariant::Simd128:
            steps = ToneStepsSimd128, step = kSimd128Step;
            break;
#endif
        default:
            break;
    }
    if (steps) {
        done = steps(bytes, size);
        ToneTail(steps, step, bytes + done, size - done);
        return;
    }
#else
    (void)variant;
#endif
    for (; done < size; done += 3) TonePixelExact(bytes + done, bytes + done);
}

}  // namespace sorvane::tonefast
