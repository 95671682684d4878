// The AVX-512 form of the exact integer tone (see VintageToneLanes.h for the
// lanes, VintageToneFast.h for why integers give the reference bytes). It is
// compiled for its instruction set through target attributes and called only
// when the processor has it. Pixels of a step with a borderline byte are
// redone at once, behind a branch that is almost never taken.
#include "tone/VintageToneFast.h"

#if SORVANE_TONE_X86

// GCC 12's AVX-512 headers start some intrinsics from a deliberately
// undefined register, which -Wmaybe-uninitialized reports at every use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include <cstring>

#include "tone/VintageToneLanes.h"

namespace sorvane::tonefast {

// ---- AVX-512 BW + VBMI: 192 bytes per step ---------------------------------
//
// Six blocks of 32 output bytes; block s reads the window of input that
// starts at its first pixel, with a byte permute across the whole register.

namespace {

constexpr int BlockWindow(int s) {
    return 3 * (32 * s / 3);
}  // 0, 30, 63, 96, 126, 159
// Bytes of input block s needs: up to the end of its last pixel.
constexpr int BlockLength(int s) {
    return 3 * ((32 * s + 31) / 3) + 3 - BlockWindow(s);
}

struct BlockTables {
    LaneTables<16> lanes[3][2];
    // The low byte of each 16-bit lane of two registers: indices 0, 2, ...,
    // 126 to vpermt2b, whose index bit 6 picks the second register.
    std::int8_t evenBytes[64];
};
constexpr BlockTables MakeBlockTables() {
    BlockTables t{};
    for (int ph = 0; ph < 3; ++ph)
        for (int odd = 0; odd < 2; ++odd)
            t.lanes[ph][odd] = MakeLanes<16>(32 * ph, odd, BlockWindow(ph));
    for (int i = 0; i < 64; ++i) t.evenBytes[i] = static_cast<std::int8_t>(2 * i);
    return t;
}
constexpr BlockTables kBlock = MakeBlockTables();

#define SORVANE_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi"), always_inline)) inline

struct Avx512Lanes {
    __m512i blueGreen, red, blueGreenCoef, redCoef;
};

SORVANE_AVX512 Avx512Lanes LoadLanes512(const LaneTables<16>& t) {
    return {_mm512_loadu_si512(t.blueGreen), _mm512_loadu_si512(t.red),
            _mm512_loadu_si512(t.blueGreenCoef), _mm512_loadu_si512(t.redCoef)};
}

SORVANE_AVX512 __m512i Sums512(__m512i window, const Avx512Lanes& l) {
    // vpermb takes its indices modulo 64 and has no index that yields 0, so
    // the zeros of the B, 0, G, 0 and R, 0, 0, 0 patterns come from the
    // masks instead: 0x55... keeps bytes 0 and 2 of each 32-bit lane, 0x11...
    // byte 0 only.
    const __m512i blueGreen =
        _mm512_maskz_permutexvar_epi8(0x5555555555555555ull, l.blueGreen, window);
    const __m512i red = _mm512_maskz_permutexvar_epi8(0x1111111111111111ull, l.red, window);
    return _mm512_add_epi32(_mm512_madd_epi16(blueGreen, l.blueGreenCoef),
                            _mm512_madd_epi16(red, l.redCoef));
}

SORVANE_AVX512 __m512i Finish512(__m512i even, __m512i odd, __m512i thousand,
                                 __mmask32& borderline) {
    // The odd 16-bit lanes, as 0xAA in the 128-bit forms (VintageToneLanes.h).
    constexpr __mmask32 kOdd = 0xAAAAAAAAu;
    const __m512i q =
        _mm512_mask_blend_epi16(kOdd, _mm512_srli_epi32(even, 3), _mm512_slli_epi32(odd, 13));
    const __m512i low = _mm512_mask_blend_epi16(kOdd, even, _mm512_slli_epi32(odd, 16));
    const __m512i k = _mm512_srli_epi16(
        _mm512_mulhi_epu16(q, _mm512_set1_epi16(static_cast<short>(kDivide125))), 6);
    borderline = _mm512_mask_cmpeq_epi16_mask(_mm512_test_epi16_mask(k, k), low,
                                              _mm512_mullo_epi16(k, thousand));
    const __m512i capped = _mm512_min_epu16(k, _mm512_set1_epi16(255));
    return _mm512_mulhi_epu16(capped, _mm512_set1_epi16(static_cast<short>(kDarken)));
}

}  // namespace

__attribute__((target("avx512f,avx512bw,avx512vbmi"))) std::size_t ToneStepsAvx512(
    std::uint8_t* bytes, std::size_t size) {
    Avx512Lanes lanes[3][2];
    for (int ph = 0; ph < 3; ++ph)
        for (int odd = 0; odd < 2; ++odd) lanes[ph][odd] = LoadLanes512(kBlock.lanes[ph][odd]);
    const __m512i evenBytes = _mm512_loadu_si512(kBlock.evenBytes);
    __m512i thousand = _mm512_set1_epi16(1000);
    SORVANE_OPAQUE(thousand);

    std::size_t done = 0;
    for (; size - done >= kAvx512Step; done += kAvx512Step) {
        std::uint8_t* p = bytes + done;
        __mmask32 flags[6];
        __m512i out[6];
        for (int s = 0; s < 6; ++s) {
            // A masked load reads only the block's own bytes.
            const __m512i window =
                _mm512_maskz_loadu_epi8((1ull << BlockLength(s)) - 1, p + BlockWindow(s));
            const auto& l = lanes[s % 3];
            out[s] = Finish512(Sums512(window, l[0]), Sums512(window, l[1]), thousand, flags[s]);
        }
        __m512i result[3];
        for (int r = 0; r < 3; ++r)
            result[r] = _mm512_permutex2var_epi8(out[2 * r], evenBytes, out[2 * r + 1]);
        if (__builtin_expect((flags[0] | flags[1] | flags[2] | flags[3] | flags[4] | flags[5]) != 0,
                             0)) {
            // Rare (about one step in 800 of random colours): keep the
            // input, store, then redo the flagged pixels.
            std::uint8_t in[kAvx512Step];
            std::memcpy(in, p, kAvx512Step);
            for (int r = 0; r < 3; ++r) _mm512_storeu_si512(p + 64 * r, result[r]);
            for (int s = 0; s < 6; ++s)
                for (std::uint32_t bits = flags[s]; bits != 0; bits &= bits - 1)
                    RedoIfBorderline(in, p, static_cast<std::size_t>(32 * s + __builtin_ctz(bits)));
            continue;
        }
        for (int r = 0; r < 3; ++r) _mm512_storeu_si512(p + 64 * r, result[r]);
    }
    return done;
}

}  // namespace sorvane::tonefast

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif
