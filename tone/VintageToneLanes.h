// What the vector forms of the exact integer tone (x86, WebAssembly SIMD)
// share: the byte shuffles and coefficients of their 32-bit lanes (see
// VintageToneFast.h for why integers give the reference bytes), and the
// steps that wait for the reference.
//
// Every output byte gets its own 32-bit lane: a byte shuffle places the
// pixel's blue and green (as a pair of 16-bit values) and its red next to
// the lane's coefficients, and two multiply-adds (pmaddwd: a*c + a'*c' per
// 32-bit lane) give N. The lanes of even and odd output bytes are then merged
// into 16-bit lanes in memory order:
//   q  = N >> 3                          (fits 16 bits)
//   k  = (q * 33555) >> 22               = floor(N / 1000)
//   N mod 2^16 == k * 1000 mod 2^16      exactly when 1000 divides N
//   out = (min(k, 255) * 58983) >> 16    = floor(9 min(k, 255) / 10)
//
// Everything here has internal linkage: each file that includes it is
// compiled for its own instruction set, and none of its code may be shared
// with a file compiled for another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tone/VintageToneFast.h"

namespace sorvane::tonefast {

namespace {

// A byte shuffle (pshufb, vpermb) writes 0 where the index has its top bit set.
constexpr std::int8_t kZero = -128;

// Shuffle indices and coefficients for one set of lanes. `lanes` 32-bit
// lanes hold output bytes first + 2i + odd (i = 0, 1, ...), read from a
// window of input that starts at byte `window`. In memory order, lane i is
//   blueGreen: B, 0, G, 0   -> 16-bit values B and G, times blueGreenCoef (cB, cG)
//   red:       R, 0, 0, 0   -> 16-bit values R and 0, times redCoef (cR, 0)
// where B, G, R are the window offsets of the pixel's bytes and c the
// coefficients of the channel the output byte is.
template <int Lanes>
struct LaneTables {
    std::int8_t blueGreen[Lanes * 4] = {};
    std::int8_t red[Lanes * 4] = {};
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

// Steps whose input held a borderline byte wait here, with a copy of that
// input and the step's flags, until their flagged pixels are redone with the
// reference. Every step fills the next free entry but only a flagged one
// keeps it, so the rare flagged step costs no mispredicted branch in the
// vector loop. `flags` holds the step's flags as stored: the 16-bit lanes of
// all blocks ORed together.
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

// ---- The 128-bit forms: SSE4.1, and AVX2 as two of them side by side ------
//
// A 48-byte group (16 pixels) is toned as six blocks of 8 output bytes. Each
// block's even and odd bytes are 4 lanes each, read from a 16-byte window
// that starts at the first pixel the block touches. The pattern repeats every
// 24 bytes, so three phases of tables cover the group.
struct GroupTables {
    LaneTables<4> lanes[3][2];  // [phase][odd]
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

// Hides a constant from the optimiser, which would otherwise turn the one
// multiply by 1000 into five shifts and adds.
#if defined(__wasm__)
// A wasm engine compiles the multiply itself: nothing to hide.
#define SORVANE_OPAQUE(v) (void)(v)
#else
#define SORVANE_OPAQUE(v) __asm__("" : "+v"(v))
#endif

// ToneGroups<W> tones whole steps of W::kGroups groups. W is a vector width:
// W::V holds one group per 128-bit half, and every operation of W acts on
// each half on its own (as pshufb, pblendw, psrldq and packuswb do), so the
// same tables serve every half. Its operations are named by what they do:
//   Table(p)            16 bytes at p, in every half
//   Load(p, at)         bytes at..at+15 of each group (group g at p + 48g)
//   ShiftBytesDown<n>   each half moved down n bytes, zeros in at the top
//   Shuffle(v, idx)     byte shuffle within each half
//   MulAddPairs(a, b)   per 32-bit lane a.lo*b.lo + a.hi*b.hi (signed 16-bit)
//   Add32 Srl32<n> Sll32<n>   32-bit lanes
//   Blend16<m>(a, b)    16-bit lane j of each half from b if bit j of m, else a
//   MulHi16 MulLo16 Srl16<n> Eq16 Min16 Set16   16-bit lanes (unsigned)
//   And Or Zero IsZero PackUs16
//   StoreFlags(p, v)    the whole register at p
//   StoreGroups(p, v)   half g at p + 48g
template <class W>
struct Groups {
    using V = typename W::V;
    static constexpr std::size_t kStep = 48 * W::kGroups;
    static constexpr int kLanes16 = 8 * W::kGroups;  // 16-bit lanes per register

    struct Lanes {
        V blueGreen, red, blueGreenCoef, redCoef;
    };

    static Lanes LoadLanes(const LaneTables<4>& t) {
        return {W::Table(t.blueGreen), W::Table(t.red), W::Table(t.blueGreenCoef),
                W::Table(t.redCoef)};
    }

    // N of the 4 lanes of each half (as 32-bit values).
    static V Sums(V window, const Lanes& l) {
        return W::Add32(W::MulAddPairs(W::Shuffle(window, l.blueGreen), l.blueGreenCoef),
                        W::MulAddPairs(W::Shuffle(window, l.red), l.redCoef));
    }

    // Eight output bytes per half (as 16-bit lanes, in memory order) from the
    // sums of the even and odd ones. `borderline` becomes non-zero in the
    // lanes where 1000 divides N and N > 0 (so k > 0).
    static V Finish(V even, V odd, V thousand, V& borderline) {
        // Mask 0xAA takes the odd 16-bit lanes (the high half of each 32-bit
        // lane) from the second operand. even >> 3 leaves q of an even byte
        // in its low half; odd << 13 moves q of an odd byte (bits 3..18 of N)
        // into the high half. Likewise N mod 2^16: even as it is, odd << 16.
        const V q =
            W::template Blend16<0xAA>(W::template Srl32<3>(even), W::template Sll32<13>(odd));
        const V low = W::template Blend16<0xAA>(even, W::template Sll32<16>(odd));
        // (q * 33555) >> 22: the high 16 bits of the product, then 6 more.
        const V k = W::template Srl16<6>(W::MulHi16(q, W::Set16(kDivide125)));
        borderline = W::And(W::Eq16(low, W::MulLo16(k, thousand)), k);
        return W::MulHi16(W::Min16(k, W::Set16(255)), W::Set16(kDarken));
    }

    // Lane i stands for output byte 8u + i % 8 of block u in group i / 8.
    using Wait = Pending<kStep, sizeof(V)>;
    static void Redo(Wait& pending) {
        RedoFlaggedLanes(pending, kLanes16, [](int u, int i) {
            return static_cast<std::size_t>(48 * (i / 8) + 8 * u + i % 8);
        });
    }

    static std::size_t Steps(std::uint8_t* bytes, std::size_t size) {
        Lanes lanes[3][2];
        for (int ph = 0; ph < 3; ++ph)
            for (int odd = 0; odd < 2; ++odd) lanes[ph][odd] = LoadLanes(kGroup.lanes[ph][odd]);
        V thousand = W::Set16(1000);
        SORVANE_OPAQUE(thousand);

        Wait pending;
        std::size_t done = 0;
        for (; size - done >= kStep; done += kStep) {
            std::uint8_t* p = bytes + done;
            // The windows of the six blocks (GroupWindow). The last would
            // start at 39 and run past the group: load at 32 and shift the 7
            // bytes before 39 out.
            const V windows[6] = {W::Load(p, 0),  W::Load(p, 6),
                                  W::Load(p, 15), W::Load(p, 24),
                                  W::Load(p, 30), W::template ShiftBytesDown<7>(W::Load(p, 32))};
            V out[6], flags[6];
            V any = W::Zero();
            // Unrolled, every table is a constant of its block (clang's
            // cost model for wasm would keep the loop).
#if defined(__clang__)
#pragma clang loop unroll(full)
#endif
            for (int u = 0; u < 6; ++u) {
                const Lanes* l = lanes[u % 3];
                const V even = Sums(windows[u], l[0]), odd = Sums(windows[u], l[1]);
                // A width may finish in its own way (with the same results).
                if constexpr (requires { W::Finish(even, odd, flags[u]); })
                    out[u] = W::Finish(even, odd, flags[u]);
                else
                    out[u] = Finish(even, odd, thousand, flags[u]);
                any = W::Or(any, flags[u]);
            }
            // Two blocks of 16-bit lanes make 16 bytes (values <= 229 pack as they are).
            const V result[3] = {W::PackUs16(out[0], out[1]), W::PackUs16(out[2], out[3]),
                                 W::PackUs16(out[4], out[5])};
            auto& entry = pending.entries[pending.count];
            std::memcpy(entry.in, p, kStep);
            W::StoreFlags(entry.flags, any);
            entry.out = p;
            pending.count += W::IsZero(any) ? 0 : 1;
            for (int r = 0; r < 3; ++r) W::StoreGroups(p + 16 * r, result[r]);
            if (pending.count == pending.kCapacity) Redo(pending);
        }
        Redo(pending);
        return done;
    }
};

}  // namespace

}  // namespace sorvane::tonefast
