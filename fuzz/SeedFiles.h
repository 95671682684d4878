// Small BMP files that start the fuzzer off in interesting places, made by
// the tests' own fixture builder. To seed a new kind of file, add a line to
// SeedFiles() (and a builder for it in tests/BmpBuilder.h if need be).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tests/BmpBuilder.h"

namespace sorvane::fuzzseed {

struct SeedFile {
    std::string name;
    std::vector<std::uint8_t> bytes;
};

using bmptest::MakeBmp24;

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
    add("24-4x2", MakeBmp24(4, 2).Build());
    add("24-1x3-padded", MakeBmp24(1, 3).Build());
    add("24-3x5-padded", MakeBmp24(3, 5).Build());
    add("24-7x4-topdown", MakeBmp24(7, 4, true).Build());
    add("24-5x2-gap", MakeBmp24(5, 2, false, 40, 13).Build());
    add("24-2x2-trailing", MakeBmp24(2, 2, false, 40, 0, 9).Build());
    add("24-0x2-empty", MakeBmp24(0, 2).Build());
    add("24-4x0-empty", MakeBmp24(4, 0).Build());
    for (const std::uint32_t info : {52u, 56u, 64u, 108u, 124u})
        add("24-3x3-info" + std::to_string(info), MakeBmp24(3, 3, false, info).Build());
    add("24-16x16", MakeBmp24(16, 16).Build());

    // Every header, bit depth and coding the fixture builder knows.
    using bmptest::InfoKind;
    const InfoKind infos[] = {InfoKind::Core12, InfoKind::OS2Short16, InfoKind::OS2Full64,
                              InfoKind::Info40, InfoKind::V2_52,      InfoKind::V3_56,
                              InfoKind::V4_108, InfoKind::V5_124};
    for (const InfoKind info : infos) {
        const std::string header = "-info" + std::to_string(bmptest::InfoSize(info));
        const bool core = info == InfoKind::Core12;
        const bool os2 = info == InfoKind::OS2Short16 || info == InfoKind::OS2Full64;
        const auto image = [&](std::uint16_t bits, std::uint32_t compression) {
            bmptest::BmpImage b;
            b.info = info;
            b.bits = bits;
            b.compression = compression;
            b.width = 5;
            b.height = 3;
            if (bits <= 8) {
                for (std::uint32_t i = 0; i < (1u << (bits < 4 ? bits : 4)); ++i)
                    b.palette.push_back({static_cast<std::uint8_t>(i * 16),
                                         static_cast<std::uint8_t>(255 - i * 9),
                                         static_cast<std::uint8_t>(i * 77)});
                if (!core) b.clrUsed = static_cast<std::uint32_t>(b.palette.size());
            }
            return b;
        };
        for (const std::uint16_t bits : {1, 2, 4, 8, 24})
            add("kind-" + std::to_string(bits) + "bit" + header,
                image(bits, bmptest::kRGB).Build().bytes);
        if (core) continue;
        add("kind-rle8" + header, image(8, bmptest::kRLE8).Build().bytes);
        add("kind-rle4" + header, image(4, bmptest::kRLE4).Build().bytes);
        for (const std::uint16_t bits : {16, 32})
            add("kind-" + std::to_string(bits) + "bit" + header,
                image(bits, bmptest::kRGB).Build().bytes);
        if (os2) continue;
        auto b565 = image(16, bmptest::kBitFields);
        b565.masks = {0xF800, 0x07E0, 0x001F, 0};
        add("kind-16bit-565" + header, b565.Build().bytes);
        auto b32 = image(32, bmptest::kAlphaBitFields);
        b32.masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
        add("kind-32bit-alpha" + header, b32.Build().bytes);
        auto b101010 = image(32, bmptest::kBitFields);
        b101010.masks = {0x3FF00000, 0x000FFC00, 0x000003FF, 0};
        add("kind-32bit-101010" + header, b101010.Build().bytes);
    }

    // Streamed in parts of 1 and 3 bytes through the smallest buffer, then
    // failing a quarter of the way in: a read, the input changing, a write,
    // the output not opening. Bytes 6 to 9 (reserved) steer the fuzzer's
    // stream, as StreamCheck.h says.
    bmptest::BmpImage packed;
    packed.bits = 16;
    packed.compression = bmptest::kBitFields;
    packed.masks = {0xF800, 0x07E0, 0x001F, 0};
    bmptest::BmpImage indexed;
    indexed.palette = {{1, 2, 3}, {200, 100, 50}, {9, 99, 255}};
    const std::pair<const char*, Bytes> streamed[] = {{"24", MakeBmp24(9, 4).Build()},
                                                      {"16", packed.Build().bytes},
                                                      {"8", indexed.Build().bytes}};
    for (const auto& [bits, bytes] : streamed)
        for (const std::uint8_t fault : {0x00, 0x88, 0xA8, 0xC8, 0xE8})
            add("stream-" + std::string(bits) + "bit-fault" + std::to_string(fault >> 5),
                With(bytes,
                     [&](Bytes& b) { PutU32(b, 6, 0x00030100u | std::uint32_t{fault} << 24); }));

    // The same bytes claiming other kinds, sizes and offsets.
    const Bytes base = MakeBmp24(4, 4).Build();
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
