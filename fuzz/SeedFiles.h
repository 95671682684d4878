// Small BMP files that start the fuzzer off in interesting places, made by
// the tests' own fixture builder. To seed a new kind of file, add a line to
// SeedFiles() (and a builder for it in tests/BmpBuilder.h if need be).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/BmpBuilder.h"

namespace sorvane::fuzzseed {

struct SeedFile {
    std::string name;
    std::vector<std::uint8_t> bytes;
};

inline bmptest::Bmp24 Bmp24(std::int32_t w, std::int32_t h, bool topDown = false,
                            std::uint32_t infoSize = 40, std::uint32_t gap = 0,
                            std::uint32_t trailing = 0) {
    bmptest::Bmp24 b;
    b.width = w;
    b.height = h;
    b.topDown = topDown;
    b.infoSize = infoSize;
    b.gap = gap;
    b.trailing = trailing;
    return b;
}

// `bytes` with one header field rewritten.
inline std::vector<std::uint8_t> With(std::vector<std::uint8_t> bytes,
                                      const std::function<void(std::vector<std::uint8_t>&)>& edit) {
    edit(bytes);
    return bytes;
}

inline std::vector<SeedFile> SeedFiles() {
    using bmptest::PutU16;
    using bmptest::PutU32;
    using Bytes = std::vector<std::uint8_t>;
    std::vector<SeedFile> seeds;
    const auto add = [&](std::string name, Bytes bytes) {
        seeds.push_back({std::move(name), std::move(bytes)});
    };

    // 24-bit, uncompressed: the kind converted from the start.
    add("24-4x2", Bmp24(4, 2).Build());
    add("24-1x3-padded", Bmp24(1, 3).Build());
    add("24-3x5-padded", Bmp24(3, 5).Build());
    add("24-7x4-topdown", Bmp24(7, 4, true).Build());
    add("24-5x2-gap", Bmp24(5, 2, false, 40, 13).Build());
    add("24-2x2-trailing", Bmp24(2, 2, false, 40, 0, 9).Build());
    add("24-0x2-empty", Bmp24(0, 2).Build());
    add("24-4x0-empty", Bmp24(4, 0).Build());
    for (const std::uint32_t info : {52u, 56u, 64u, 108u, 124u})
        add("24-3x3-info" + std::to_string(info), Bmp24(3, 3, false, info).Build());
    add("24-16x16", Bmp24(16, 16).Build());

    // The same bytes claiming other kinds, sizes and offsets.
    const Bytes base = Bmp24(4, 4).Build();
    for (const std::uint32_t bits : {1u, 4u, 8u, 16u, 32u, 0u, 48u})
        add("claims-" + std::to_string(bits) + "-bit",
            With(base, [&](Bytes& b) { PutU16(b, 28, bits); }));
    for (const std::uint32_t comp : {1u, 2u, 3u, 4u, 5u, 6u})
        add("claims-compression-" + std::to_string(comp),
            With(base, [&](Bytes& b) { PutU32(b, 30, comp); }));
    for (const std::uint32_t info : {12u, 16u, 39u, 64u, 0xFFFFFFFFu})
        add("claims-info-" + std::to_string(info),
            With(base, [&](Bytes& b) { PutU32(b, 14, info); }));
    add("claims-huge", With(base, [](Bytes& b) {
            PutU32(b, 18, 0x7FFFFFFF);
            PutU32(b, 22, 0x7FFFFFFF);
        }));
    add("claims-int-min-height", With(base, [](Bytes& b) { PutU32(b, 22, 0x80000000u); }));
    add("claims-negative-width", With(base, [](Bytes& b) { PutU32(b, 18, 0xFFFFFFFCu); }));
    add("offbits-past-end", With(base, [](Bytes& b) { PutU32(b, 10, 0xFFFFFFF0u); }));
    add("offbits-in-header", With(base, [](Bytes& b) { PutU32(b, 10, 20); }));
    add("truncated-pixels", Bytes(base.begin(), base.end() - 5));
    add("truncated-header", Bytes(base.begin(), base.begin() + 30));
    return seeds;
}

}  // namespace sorvane::fuzzseed
