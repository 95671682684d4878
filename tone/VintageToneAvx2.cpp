// The AVX2 form of the exact integer tone: two 48-byte groups per step, one
// in each 128-bit half of the register (the byte shuffle and the blend of
// AVX2 act on each half on its own, so the SSE4.1 tables serve both halves).
// Compiled with -mavx2 (this file alone); called only when the processor has
// AVX2.
#include "tone/VintageToneFast.h"

#if SORVANE_TONE_X86

#include <immintrin.h>

#include "tone/VintageToneLanes.h"

namespace sorvane::tonefast {

namespace {

// Two groups in one 256-bit register (see Groups in VintageToneLanes.h).
struct Avx2 {
    using V = __m256i;
    static constexpr int kGroups = 2;

    static V Table(const void* p) {
        return _mm256_broadcastsi128_si256(_mm_loadu_si128(static_cast<const __m128i*>(p)));
    }
    // The first group in the low half, the second in the high half.
    static V Load(const std::uint8_t* p, int at) {
        return _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(p + 48 + at),
                                   reinterpret_cast<const __m128i*>(p + at));
    }
    template <int N>
    static V ShiftBytesDown(V v) {
        return _mm256_srli_si256(v, N);
    }
    static V Shuffle(V v, V index) { return _mm256_shuffle_epi8(v, index); }
    static V MulAddPairs(V a, V b) { return _mm256_madd_epi16(a, b); }
    static V Add32(V a, V b) { return _mm256_add_epi32(a, b); }
    template <int N>
    static V Srl32(V v) {
        return _mm256_srli_epi32(v, N);
    }
    template <int N>
    static V Sll32(V v) {
        return _mm256_slli_epi32(v, N);
    }
    // vpblendw applies the 8-bit mask to each half.
    template <int M>
    static V Blend16(V a, V b) {
        return _mm256_blend_epi16(a, b, M);
    }
    static V MulHi16(V a, V b) { return _mm256_mulhi_epu16(a, b); }
    static V MulLo16(V a, V b) { return _mm256_mullo_epi16(a, b); }
    template <int N>
    static V Srl16(V v) {
        return _mm256_srli_epi16(v, N);
    }
    static V Eq16(V a, V b) { return _mm256_cmpeq_epi16(a, b); }
    static V Min16(V a, V b) { return _mm256_min_epu16(a, b); }
    static V Set16(std::uint32_t v) { return _mm256_set1_epi16(static_cast<short>(v)); }
    static V And(V a, V b) { return _mm256_and_si256(a, b); }
    static V Or(V a, V b) { return _mm256_or_si256(a, b); }
    static V Zero() { return _mm256_setzero_si256(); }
    static bool IsZero(V v) { return _mm256_testz_si256(v, v) != 0; }
    static V PackUs16(V a, V b) { return _mm256_packus_epi16(a, b); }
    static void StoreFlags(std::uint8_t* p, V v) {
        _mm256_storeu_si256(reinterpret_cast<V*>(p), v);
    }
    static void StoreGroups(std::uint8_t* p, V v) {
        _mm256_storeu2_m128i(reinterpret_cast<__m128i*>(p + 48), reinterpret_cast<__m128i*>(p), v);
    }
};

}  // namespace

std::size_t ToneStepsAvx2(std::uint8_t* bytes, std::size_t size) {
    static_assert(Groups<Avx2>::kStep == kAvx2Step);
    return Groups<Avx2>::Steps(bytes, size);
}

}  // namespace sorvane::tonefast

#endif
