// The x86 vector forms of the exact integer tone (see VintageToneFast.h for
// why integers give the reference bytes). Each function is compiled for its
// own instruction set and called only when the processor has it.
//
// Every output byte gets its own 32-bit lane: a byte shuffle places the
// pixel's blue and green (as a pair of 16-bit values) and its red next to
// the lane's coefficients, and two multiply-adds give N. The lanes of even
// and odd output bytes are then merged into 16-bit lanes in memory order:
//   q  = N >> 3                          (fits 16 bits)
//   k  = (q * 33555) >> 22               = floor(N / 1000)
//   N mod 2^16 == k * 1000 mod 2^16      exactly when 1000 divides N
//   out = (min(k, 255) * 58983) >> 16    = floor(9 min(k, 255) / 10)
// The pixels of a step with a borderline byte (1000 divides N, N > 0) are
// redone by RedoIfBorderline from a copy of the step's input: for SSE4.1 and
// AVX2 later, in batches (see Pending); for AVX-512 at once, behind a branch
// that is almost never taken.
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

namespace sorvane::tonefast {

namespace {

constexpr std::int8_t kZero = -128;  // a shuffle index that yields 0

// Hides a constant from the optimiser, which would otherwise turn the one
// multiply by 1000 into five shifts and adds.
#define SORVANE_OPAQUE(v) __asm__("" : "+v"(v))

// Shuffle indices and coefficients for one set of lanes. `lanes` 32-bit
// lanes hold output bytes first + 2i + odd (i = 0, 1, ...), read from a
// window of input that starts at byte `window`.
template <int Lanes>
struct LaneTables {
    std::int8_t blueGreen[Lanes * 4] = {};  // B, 0, G, 0 per lane
    std::int8_t red[Lanes * 4] = {};        // R, 0, 0, 0 per lane
    std::int16_t blueGreenCoef[Lanes * 2] = {};
    std::int16_t redCoef[Lanes * 2] = {};
};

template <int Lanes>
constexpr LaneTables<Lanes> MakeLanes(int first, int odd, int window) {
    LaneTables<Lanes> t;
    for (int i = 0; i < Lanes; ++i) {
        const int v = first + 2 * i + odd;
        const int at = 3 * (v / 3) - window;  // the pixel's blue, in the window
        const int channel = v % 3;
        t.blueGreen[4 * i + 0] = static_cast<std::int8_t>(at);
        t.blueGreen[4 * i + 1] = kZero;
        t.blueGreen[4 * i + 2] = static_cast<std::int8_t>(at + 1);
        t.blueGreen[4 * i + 3] = kZero;
        t.red[4 * i + 0] = static_cast<std::int8_t>(at + 2);
        t.red[4 * i + 1] = kZero;
        t.red[4 * i + 2] = kZero;
        t.red[4 * i + 3] = kZero;
        t.blueGreenCoef[2 * i + 0] = static_cast<std::int16_t>(kCoefficients[channel][0]);
        t.blueGreenCoef[2 * i + 1] = static_cast<std::int16_t>(kCoefficients[channel][1]);
        t.redCoef[2 * i + 0] = static_cast<std::int16_t>(kCoefficients[channel][2]);
        t.redCoef[2 * i + 1] = 0;
    }
    return t;
}

// Each 16-byte group of output (8 bytes from even lanes, 8 from odd) reads a
// window starting at the first pixel it touches. The pattern repeats every
// 24 bytes, so three phases cover a 48-byte group.
struct GroupTables {
    LaneTables<4> lanes[3][2];
};
constexpr int GroupWindow(int u) {
    return 3 * (8 * u / 3);
}  // 0, 6, 15, 24, 30, 39
constexpr GroupTables MakeGroupTables() {
    GroupTables t;
    for (int ph = 0; ph < 3; ++ph)
        for (int odd = 0; odd < 2; ++odd)
            t.lanes[ph][odd] = MakeLanes<4>(8 * ph, odd, GroupWindow(ph));
    return t;
}
constexpr GroupTables kGroup = MakeGroupTables();

// Steps whose input held a borderline byte wait here, with a copy of that
// input and the step's flags, until their flagged pixels are redone with the
// reference. Every step fills the next free entry but only a flagged one
// keeps it, so the rare flagged step costs no mispredicted branch in the
// vector loop. `flags` holds the step's flags as stored: for SSE4.1 and AVX2
// the 16-bit lanes of all blocks ORed together, for AVX-512 one bit per
// output byte.
template <std::size_t Step, std::size_t FlagBytes>
struct Pending {
    struct Entry {
        std::uint8_t in[Step];
        std::uint8_t flags[FlagBytes];
        std::uint8_t* out;
    };
    static constexpr int kCapacity = 16;
    Entry entries[kCapacity];
    int count = 0;
};

// For every non-zero 16-bit lane of the ORed flags, redoes the borderline
// pixels among the output bytes of that lane in each of the six blocks;
// `byteOf(block, lane)` maps a lane to its output byte in the step.
template <typename P, typename ByteOf>
void RedoFlaggedLanes(P& pending, int lanes, ByteOf byteOf) {
    for (int e = 0; e < pending.count; ++e) {
        const auto& entry = pending.entries[e];
        for (int i = 0; i < lanes; ++i) {
            std::uint16_t flag;
            std::memcpy(&flag, entry.flags + 2 * i, 2);
            if (flag != 0)
                for (int b = 0; b < 6; ++b) RedoIfBorderline(entry.in, entry.out, byteOf(b, i));
        }
    }
    pending.count = 0;
}

// ---- SSE4.1: one 48-byte group per step ------------------------------------

#define SORVANE_SSE41 __attribute__((target("sse4.1"), always_inline)) inline

struct Sse41Lanes {
    __m128i blueGreen, red, blueGreenCoef, redCoef;
};

SORVANE_SSE41 Sse41Lanes LoadLanes128(const LaneTables<4>& t) {
    return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.blueGreen)),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(t.red)),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(t.blueGreenCoef)),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(t.redCoef))};
}

SORVANE_SSE41 __m128i Load128(const std::uint8_t* p, int at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
}

SORVANE_SSE41 __m128i Sums128(__m128i window, const Sse41Lanes& l) {
    return _mm_add_epi32(_mm_madd_epi16(_mm_shuffle_epi8(window, l.blueGreen), l.blueGreenCoef),
                         _mm_madd_epi16(_mm_shuffle_epi8(window, l.red), l.redCoef));
}

// Eight output bytes (as 16-bit lanes) from the sums of the even and odd
// ones. `borderline` becomes non-zero in the lanes where 1000 divides N and
// N > 0 (so k > 0).
SORVANE_SSE41 __m128i Finish128(__m128i even, __m128i odd, __m128i thousand, __m128i& borderline) {
    const __m128i q = _mm_blend_epi16(_mm_srli_epi32(even, 3), _mm_slli_epi32(odd, 13), 0xAA);
    const __m128i low = _mm_blend_epi16(even, _mm_slli_epi32(odd, 16), 0xAA);
    const __m128i k =
        _mm_srli_epi16(_mm_mulhi_epu16(q, _mm_set1_epi16(static_cast<short>(kDivide125))), 6);
    borderline = _mm_and_si128(_mm_cmpeq_epi16(low, _mm_mullo_epi16(k, thousand)), k);
    const __m128i capped = _mm_min_epu16(k, _mm_set1_epi16(255));
    return _mm_mulhi_epu16(capped, _mm_set1_epi16(static_cast<short>(kDarken)));
}

// Lane i of block u stands for output byte 8u + i.
using Sse41Pending = Pending<kSse41Step, 16>;
void RedoSse41(Sse41Pending& pending) {
    RedoFlaggedLanes(pending, 8, [](int u, int i) { return static_cast<std::size_t>(8 * u + i); });
}

}  // namespace

__attribute__((target("sse4.1"))) std::size_t ToneStepsSse41(std::uint8_t* bytes,
                                                             std::size_t size) {
    Sse41Lanes lanes[3][2];
    for (int ph = 0; ph < 3; ++ph)
        for (int odd = 0; odd < 2; ++odd) lanes[ph][odd] = LoadLanes128(kGroup.lanes[ph][odd]);
    __m128i thousand = _mm_set1_epi16(1000);
    SORVANE_OPAQUE(thousand);

    Sse41Pending pending;
    std::size_t done = 0;
    for (; size - done >= kSse41Step; done += kSse41Step) {
        std::uint8_t* p = bytes + done;
        // The last window would start at 39 and run past the group: load at
        // 32 and shift the 7 bytes before 39 out.
        const __m128i windows[6] = {Load128(p, 0),  Load128(p, 6),
                                    Load128(p, 15), Load128(p, 24),
                                    Load128(p, 30), _mm_srli_si128(Load128(p, 32), 7)};
        __m128i out[6], flags[6];
        __m128i any = _mm_setzero_si128();
        for (int u = 0; u < 6; ++u) {
            const auto& l = lanes[u % 3];
            out[u] =
                Finish128(Sums128(windows[u], l[0]), Sums128(windows[u], l[1]), thousand, flags[u]);
            any = _mm_or_si128(any, flags[u]);
        }
        const __m128i result[3] = {_mm_packus_epi16(out[0], out[1]),
                                   _mm_packus_epi16(out[2], out[3]),
                                   _mm_packus_epi16(out[4], out[5])};
        auto& entry = pending.entries[pending.count];
        std::memcpy(entry.in, p, kSse41Step);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(entry.flags), any);
        entry.out = p;
        pending.count += _mm_testz_si128(any, any) ? 0 : 1;
        for (int r = 0; r < 3; ++r)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16 * r), result[r]);
        if (pending.count == pending.kCapacity) RedoSse41(pending);
    }
    RedoSse41(pending);
    return done;
}

// ---- AVX2: two 48-byte groups per step, one in each 128-bit half -----------

namespace {

#define SORVANE_AVX2 __attribute__((target("avx2"), always_inline)) inline

struct Avx2Lanes {
    __m256i blueGreen, red, blueGreenCoef, redCoef;
};

SORVANE_AVX2 __m256i Twice(const void* pattern) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(static_cast<const __m128i*>(pattern)));
}

SORVANE_AVX2 Avx2Lanes LoadLanes256(const LaneTables<4>& t) {
    return {Twice(t.blueGreen), Twice(t.red), Twice(t.blueGreenCoef), Twice(t.redCoef)};
}

// The window at `at` of each of the step's two groups.
SORVANE_AVX2 __m256i Load256(const std::uint8_t* p, int at) {
    return _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(p + 48 + at),
                               reinterpret_cast<const __m128i*>(p + at));
}

SORVANE_AVX2 __m256i Sums256(__m256i window, const Avx2Lanes& l) {
    return _mm256_add_epi32(
        _mm256_madd_epi16(_mm256_shuffle_epi8(window, l.blueGreen), l.blueGreenCoef),
        _mm256_madd_epi16(_mm256_shuffle_epi8(window, l.red), l.redCoef));
}

SORVANE_AVX2 __m256i Finish256(__m256i even, __m256i odd, __m256i thousand, __m256i& borderline) {
    const __m256i q =
        _mm256_blend_epi16(_mm256_srli_epi32(even, 3), _mm256_slli_epi32(odd, 13), 0xAA);
    const __m256i low = _mm256_blend_epi16(even, _mm256_slli_epi32(odd, 16), 0xAA);
    const __m256i k = _mm256_srli_epi16(
        _mm256_mulhi_epu16(q, _mm256_set1_epi16(static_cast<short>(kDivide125))), 6);
    borderline = _mm256_and_si256(_mm256_cmpeq_epi16(low, _mm256_mullo_epi16(k, thousand)), k);
    const __m256i capped = _mm256_min_epu16(k, _mm256_set1_epi16(255));
    return _mm256_mulhi_epu16(capped, _mm256_set1_epi16(static_cast<short>(kDarken)));
}

// Lane i of block u stands for output byte 8u + i of the first group, lane
// 8 + i for the same byte of the second.
using Avx2Pending = Pending<kAvx2Step, 32>;
void RedoAvx2(Avx2Pending& pending) {
    RedoFlaggedLanes(pending, 16, [](int u, int i) {
        return static_cast<std::size_t>(i < 8 ? 8 * u + i : 48 + 8 * u + i - 8);
    });
}

}  // namespace

__attribute__((target("avx2"))) std::size_t ToneStepsAvx2(std::uint8_t* bytes, std::size_t size) {
    Avx2Lanes lanes[3][2];
    for (int ph = 0; ph < 3; ++ph)
        for (int odd = 0; odd < 2; ++odd) lanes[ph][odd] = LoadLanes256(kGroup.lanes[ph][odd]);
    __m256i thousand = _mm256_set1_epi16(1000);
    SORVANE_OPAQUE(thousand);

    Avx2Pending pending;
    std::size_t done = 0;
    for (; size - done >= kAvx2Step; done += kAvx2Step) {
        std::uint8_t* p = bytes + done;
        const __m256i windows[6] = {Load256(p, 0),  Load256(p, 6),
                                    Load256(p, 15), Load256(p, 24),
                                    Load256(p, 30), _mm256_srli_si256(Load256(p, 32), 7)};
        __m256i out[6], flags[6];
        __m256i any = _mm256_setzero_si256();
        for (int u = 0; u < 6; ++u) {
            const auto& l = lanes[u % 3];
            out[u] =
                Finish256(Sums256(windows[u], l[0]), Sums256(windows[u], l[1]), thousand, flags[u]);
            any = _mm256_or_si256(any, flags[u]);
        }
        const __m256i result[3] = {_mm256_packus_epi16(out[0], out[1]),
                                   _mm256_packus_epi16(out[2], out[3]),
                                   _mm256_packus_epi16(out[4], out[5])};
        auto& entry = pending.entries[pending.count];
        std::memcpy(entry.in, p, kAvx2Step);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(entry.flags), any);
        entry.out = p;
        pending.count += _mm256_testz_si256(any, any) ? 0 : 1;
        for (int r = 0; r < 3; ++r)
            _mm256_storeu2_m128i(reinterpret_cast<__m128i*>(p + 48 + 16 * r),
                                 reinterpret_cast<__m128i*>(p + 16 * r), result[r]);
        if (pending.count == pending.kCapacity) RedoAvx2(pending);
    }
    RedoAvx2(pending);
    return done;
}

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
    std::int8_t evenBytes[64];  // gathers the low bytes of two 16-bit registers
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
    // Bytes 0 and 2 of each lane for blue and green, byte 0 for red.
    const __m512i blueGreen =
        _mm512_maskz_permutexvar_epi8(0x5555555555555555ull, l.blueGreen, window);
    const __m512i red = _mm512_maskz_permutexvar_epi8(0x1111111111111111ull, l.red, window);
    return _mm512_add_epi32(_mm512_madd_epi16(blueGreen, l.blueGreenCoef),
                            _mm512_madd_epi16(red, l.redCoef));
}

SORVANE_AVX512 __m512i Finish512(__m512i even, __m512i odd, __m512i thousand,
                                 __mmask32& borderline) {
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
