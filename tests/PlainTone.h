// The tone written out plainly from the description of the arithmetic, not
// from the library: the independent reference every colour is checked
// against. Each product and sum is stored through a volatile double so that
// nothing is fused, reordered or kept wider.
#pragma once

#include <cstdint>

namespace plaintone {

inline void PlainTone(const std::uint8_t* in, std::uint8_t* out) {
    volatile double b = in[0], g = in[1], r = in[2];
    volatile double sr1 = b * 0.189, sr2 = g * 0.769, sr3 = r * 0.393;
    volatile double sR = sr1 + sr2;
    sR = sR + sr3;
    volatile double sg1 = g * 0.686, sg2 = b * 0.168, sg3 = r * 0.349;
    volatile double sG = sg1 + sg2;
    sG = sG + sg3;
    volatile double sb1 = g * 0.534, sb2 = b * 0.131, sb3 = r * 0.272;
    volatile double sB = sb1 + sb2;
    sB = sB + sb3;
    const double caps[3] = {sB < 255.0 ? sB : 255.0, sG < 255.0 ? sG : 255.0,
                            sR < 255.0 ? sR : 255.0};
    for (int i = 0; i < 3; ++i) {
        const int k = static_cast<int>(caps[i]);
        volatile double d = static_cast<double>(k) * 0.9;
        out[i] = static_cast<std::uint8_t>(static_cast<int>(d));
    }
}

}  // namespace plaintone
