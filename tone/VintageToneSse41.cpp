// The SSE4.1 form of the exact integer tone: one 48-byte group per step.
// Compiled with -msse4.1 (this file alone); called only when the processor
// has SSE4.1.
#include "tone/VintageToneFast.h"

#if SORVANE_TONE_X86

#include <immintrin.h>

#include "tone/VintageToneLanes.h"

namespace sorvane::tonefast {

namespace {

// One group in one 128-bit register (see Groups in VintageToneLanes.h).
struct Sse41 {
    using V = __m128i;
    static constexpr int kGroups = 1;

    static V Table(const void* p) { return _mm_loadu_si128(static_cast<const V*>(p)); }
    static V Load(const std::uint8_t* p, int at) { return Table(p + at); }
    template <int N>
    static V ShiftBytesDown(V v) {
        return _mm_srli_si128(v, N);
    }
    static V Shuffle(V v, V index) { return _mm_shuffle_epi8(v, index); }
    static V MulAddPairs(V a, V b) { return _mm_madd_epi16(a, b); }
    static V Add32(V a, V b) { return _mm_add_epi32(a, b); }
    template <int N>
    static V Srl32(V v) {
        return _mm_srli_epi32(v, N);
    }
    template <int N>
    static V Sll32(V v) {
        return _mm_slli_epi32(v, N);
    }
    template <int M>
    static V Blend16(V a, V b) {
        return _mm_blend_epi16(a, b, M);
    }
    static V MulHi16(V a, V b) { return _mm_mulhi_epu16(a, b); }
    static V MulLo16(V a, V b) { return _mm_mullo_epi16(a, b); }
    template <int N>
    static V Srl16(V v) {
        return _mm_srli_epi16(v, N);
    }
    static V Eq16(V a, V b) { return _mm_cmpeq_epi16(a, b); }
    static V Min16(V a, V b) { return _mm_min_epu16(a, b); }
    static V Set16(std::uint32_t v) { return _mm_set1_epi16(static_cast<short>(v)); }
    static V And(V a, V b) { return _mm_and_si128(a, b); }
    static V Or(V a, V b) { return _mm_or_si128(a, b); }
    static V Zero() { return _mm_setzero_si128(); }
    static bool IsZero(V v) { return _mm_testz_si128(v, v) != 0; }
    static V PackUs16(V a, V b) { return _mm_packus_epi16(a, b); }
    static void StoreFlags(std::uint8_t* p, V v) { _mm_storeu_si128(reinterpret_cast<V*>(p), v); }
    static void StoreGroups(std::uint8_t* p, V v) { StoreFlags(p, v); }
};

}  // namespace

std::size_t ToneStepsSse41(std::uint8_t* bytes, std::size_t size) {
    static_assert(Groups<Sse41>::kStep == kSse41Step);
    return Groups<Sse41>::Steps(bytes, size);
}

}  // namespace sorvane::tonefast

#endif
