// The WebAssembly SIMD form of the exact integer tone: one 48-byte group per
// 128-bit vector, on the same tables and steps as the SSE4.1 form (see
// VintageToneLanes.h), with its own last step (Finish). Built only into the
// module compiled with -msimd128; an engine without SIMD loads the module
// without it instead.
#include "tone/VintageToneFast.h"

#if SORVANE_TONE_WASM_SIMD

#include <wasm_simd128.h>

#include "tone/VintageToneLanes.h"

namespace sorvane::tonefast {

namespace {

// One group in one v128 (see Groups in VintageToneLanes.h).
struct Simd128 {
    using V = v128_t;
    static constexpr int kGroups = 1;

    static V Table(const void* p) { return wasm_v128_load(p); }
    static V Load(const std::uint8_t* p, int at) { return wasm_v128_load(p + at); }
    template <int N>
    static V ShiftBytesDown(V v) {
        return wasm_i8x16_shuffle(v, wasm_i64x2_const(0, 0), N, N + 1, N + 2, N + 3, N + 4, N + 5,
                                  N + 6, N + 7, N + 8, N + 9, N + 10, N + 11, N + 12, N + 13,
                                  N + 14, N + 15);
    }
    // i8x16.swizzle gives 0 for an index of 16 or more, as pshufb does for
    // one with its top bit set (kZero, 0x80).
    static V Shuffle(V v, V index) { return wasm_i8x16_swizzle(v, index); }
    static V MulAddPairs(V a, V b) { return wasm_i32x4_dot_i16x8(a, b); }
    static V Add32(V a, V b) { return wasm_i32x4_add(a, b); }
    template <int N>
    static V Srl32(V v) {
        return wasm_u32x4_shr(v, N);
    }
    template <int N>
    static V Sll32(V v) {
        return wasm_i32x4_shl(v, N);
    }
    template <int M>
    static V Blend16(V a, V b) {
        return wasm_i16x8_shuffle(a, b, (M & 1) ? 8 : 0, (M & 2) ? 9 : 1, (M & 4) ? 10 : 2,
                                  (M & 8) ? 11 : 3, (M & 16) ? 12 : 4, (M & 32) ? 13 : 5,
                                  (M & 64) ? 14 : 6, (M & 128) ? 15 : 7);
    }
    // No unsigned high multiply: the full 32-bit products of each half,
    // then their high 16 bits.
    static V MulHi16(V a, V b) {
        const V low = wasm_u32x4_extmul_low_u16x8(a, b);
        const V high = wasm_u32x4_extmul_high_u16x8(a, b);
        return wasm_i16x8_shuffle(low, high, 1, 3, 5, 7, 9, 11, 13, 15);
    }
    static V MulLo16(V a, V b) { return wasm_i16x8_mul(a, b); }
    template <int N>
    static V Srl16(V v) {
        return wasm_u16x8_shr(v, N);
    }
    static V Eq16(V a, V b) { return wasm_i16x8_eq(a, b); }
    static V Min16(V a, V b) { return wasm_u16x8_min(a, b); }
    static V Set16(std::uint32_t v) { return wasm_i16x8_splat(static_cast<std::int16_t>(v)); }
    static V And(V a, V b) { return wasm_v128_and(a, b); }
    static V Or(V a, V b) { return wasm_v128_or(a, b); }
    static V Zero() { return wasm_i64x2_const(0, 0); }
    static bool IsZero(V v) { return !wasm_v128_any_true(v); }
    static V PackUs16(V a, V b) { return wasm_u8x16_narrow_i16x8(a, b); }
    static void StoreFlags(std::uint8_t* p, V v) { wasm_v128_store(p, v); }
    static void StoreGroups(std::uint8_t* p, V v) { wasm_v128_store(p, v); }

    // Groups::Finish on the 32-bit lanes as they are, before they are
    // merged: wasm has a 32-bit multiply but no high half of a 16-bit one,
    // and no blend. Per lane, N < 2^19:
    //   k    = ((N >> 3) * 33555) >> 22    = floor(N / 1000)
    //   flag = k if k * 1000 == N, else 0  (non-zero: borderline)
    //   out  = (min(k, 255) * 58983) >> 16
    // Outputs and flags fit 16 bits: odd lanes move to the high halves.
    static V Finish(V even, V odd, V& borderline) {
        const V divide = wasm_i32x4_splat(kDivide125), thousand = wasm_i32x4_splat(1000);
        const V cap = wasm_i32x4_splat(255), darken = wasm_i32x4_splat(kDarken);
        V out[2], flag[2];
        const V n[2] = {even, odd};
        for (int i = 0; i < 2; ++i) {
            const V k = wasm_u32x4_shr(wasm_i32x4_mul(wasm_u32x4_shr(n[i], 3), divide), 22);
            flag[i] = wasm_v128_and(wasm_i32x4_eq(wasm_i32x4_mul(k, thousand), n[i]), k);
            out[i] = wasm_u32x4_shr(wasm_i32x4_mul(wasm_u32x4_min(k, cap), darken), 16);
        }
        borderline = wasm_v128_or(flag[0], wasm_i32x4_shl(flag[1], 16));
        return wasm_v128_or(out[0], wasm_i32x4_shl(out[1], 16));
    }
};

}  // namespace

std::size_t ToneStepsSimd128(std::uint8_t* bytes, std::size_t size) {
    static_assert(Groups<Simd128>::kStep == kSimd128Step);
    return Groups<Simd128>::Steps(bytes, size);
}

}  // namespace sorvane::tonefast

#endif
