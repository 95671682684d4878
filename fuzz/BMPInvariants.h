// What ToneBMPFile promises for any bytes whatsoever, checked from outside
// the library with its own reading of the headers. Shared by the fuzzer and
// by the test that replays the fuzzer's seeds and findings.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "convert/BMPLayout.h"
#include "tone/VintageTone.h"

namespace sorvane::fuzzcheck {

inline std::uint32_t U16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8;
}
inline std::uint32_t U32(std::span<const std::uint8_t> b, std::size_t at) {
    return U16(b, at) | U16(b, at + 2) << 16;
}

// A colour channel of `mask` (contiguous, non-empty) widened to 8 bits, or an
// 8-bit value narrowed into it: round(v * 255 / (2^n - 1)) and back. In
// doubles: every product is exact, and no exact quotient lies within 2^-33
// of a half, far beyond the error of one division.
inline std::uint32_t ChannelTop(std::uint32_t mask) {
    return mask >> std::countr_zero(mask);
}
inline std::uint8_t Widen(std::uint32_t word, std::uint32_t mask) {
    const double v = (word & mask) >> std::countr_zero(mask);
    return static_cast<std::uint8_t>(std::lround(v * 255.0 / ChannelTop(mask)));
}
inline std::uint32_t Narrow(std::uint8_t t, std::uint32_t mask) {
    const auto v =
        static_cast<std::uint32_t>(std::llround(t * static_cast<double>(ChannelTop(mask)) / 255.0));
    return v << std::countr_zero(mask);
}

// Checks `after`, the bytes ToneBMPFile left behind (with `status`), against
// `before`, the bytes it was given. Returns "" when every promise holds,
// otherwise what was broken.
//
// Always:  the status is one of the known ones; a refusal changes nothing.
// Success: the file is judged byte by byte against the file expected, made
//          here from `before`: every stored colour replaced by the reference
//          tone of it, every other byte (headers, masks, the reserved byte of
//          a table entry, unused and alpha bits, row padding, gaps, trailing
//          data) as it was. The stored colours are
//          - the colour table: biClrUsed entries (0: 2^bits for an indexed
//            image, none otherwise) from the end of the headers and masks,
//            those that end by bfOffBits; 3 bytes each after a 12-byte header,
//            4 (blue, green, red, reserved) after any other;
//          - the pixels of an uncompressed 24-bit image (blue, green, red);
//          - the pixels of a 16- or 32-bit image after a Windows header:
//            5-5-5 and B,G,R,x without bit fields, else the red, green and
//            blue masks (inside a header of 52 bytes or more, else after it);
//            each channel of n bits is widened to 8, toned and narrowed back.
//          The pixels of an indexed image (raw or run-length coded) never
//          change. Pixels of any other kind (none are converted today) are
//          not judged: from bfOffBits on, anything goes.
inline std::string CheckToneInvariants(std::span<const std::uint8_t> before,
                                       std::span<const std::uint8_t> after, LayoutStatus status) {
    if (after.size() != before.size()) return "length changed";
    switch (status) {
        case LayoutStatus::Converted:
            break;
        case LayoutStatus::NotValid:
        case LayoutStatus::Unsupported:
            for (std::size_t i = 0; i < before.size(); ++i)
                if (after[i] != before[i])
                    return "refused, yet byte " + std::to_string(i) + " changed";
            return "";
        default:
            return "unknown status " + std::to_string(static_cast<int>(status));
    }

    // The headers, read here from the format alone.
    const std::uint64_t size = before.size();
    if (size < 18 || before[0] != 'B' || before[1] != 'M')
        return "converted a file without BM header";
    const std::uint64_t infoSize = U32(before, 14);
    const std::uint64_t headersEnd = 14 + infoSize;
    if (headersEnd > size) return "converted a file whose info header runs past its end";
    const std::uint64_t offBits = U32(before, 10);
    if (offBits < headersEnd || offBits > size)
        return "converted a file whose pixels start inside its headers or past its end";
    const bool core = infoSize == 12;
    // OS/2 2.x: 64 bytes, or cut short after any 4-byte field.
    const bool os2 = infoSize == 64 || (infoSize >= 16 && infoSize < 40 && infoSize % 4 == 0);
    // A field of the info header at `at`, 0 if the header stops before it.
    const auto field = [&](std::uint64_t at) {
        return at + 4 <= infoSize ? U32(before, 14 + at) : 0;
    };
    // Signed 32-bit in the later headers (a negative height: top-down rows).
    const auto signedField = [&](std::uint64_t at) -> std::int64_t {
        return static_cast<std::int32_t>(field(at));
    };
    const std::int64_t width = core ? U16(before, 18) : signedField(4);
    const std::int64_t height = core ? U16(before, 20) : signedField(8);
    const std::uint32_t bits = U16(before, core ? 24 : 28);
    const std::uint32_t compression = core ? 0 : field(16);
    const std::uint32_t clrUsed = field(32);
    const bool indexed = bits == 1 || bits == 2 || bits == 4 || bits == 8;

    // Pixel words: the colour masks, or none when the pixels are not judged.
    std::uint32_t masks[3] = {};  // red, green, blue
    std::uint64_t tableStart = headersEnd;
    const bool windows = !core && !os2;
    if (windows && (bits == 16 || bits == 32) && compression == 0) {
        if (bits == 16) {
            masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
        } else {
            masks[0] = 0xFF0000, masks[1] = 0x00FF00, masks[2] = 0x0000FF;
        }
    } else if (windows && (bits == 16 || bits == 32) && (compression == 3 || compression == 6)) {
        std::uint64_t at = 14 + 40;
        if (infoSize == 40) {
            tableStart = headersEnd + (compression == 6 ? 16 : 12);
            if (tableStart > offBits) return "converted a file whose masks overlap its pixels";
        } else if (infoSize < 52) {
            at = 0;  // masks nowhere the checker knows of
        }
        for (int c = 0; at != 0 && c < 3; ++c) masks[c] = U32(before, at + 4 * c);
        const std::uint32_t word = bits == 16 ? 0xFFFF : 0xFFFFFFFF;
        for (int c = 0; at != 0 && c < 3; ++c) {
            const std::uint32_t m = masks[c];
            const bool contiguous = m != 0 && (ChannelTop(m) & (ChannelTop(m) + 1)) == 0;
            if (!contiguous || (m & ~word) != 0 || (m & masks[(c + 1) % 3]) != 0)
                return "converted a file whose colour masks are not channels";
        }
    }
    const bool packed = masks[0] != 0;
    const bool bgr = bits == 24 && compression == 0;

    std::vector<std::uint8_t> expected(before.begin(), before.end());
    const auto tone = [&](std::uint64_t at) {  // blue, green, red at `at`
        ToneOnePixel(expected.data() + at);
    };

    const std::uint64_t entrySize = core ? 3 : 4;
    std::uint64_t entries = clrUsed != 0 ? clrUsed : indexed ? std::uint64_t{1} << bits : 0;
    entries = std::min(entries, (offBits - tableStart) / entrySize);
    for (std::uint64_t i = 0; i < entries; ++i) tone(tableStart + i * entrySize);

    if (packed || bgr) {
        const std::uint64_t rows = height < 0 ? -height : height;
        if (width < 0) return "converted a file with a negative width";
        const std::uint64_t pixelBytes = bits / 8;
        const std::uint64_t rowBytes = static_cast<std::uint64_t>(width) * pixelBytes;
        const std::uint64_t stride = (rowBytes + 3) / 4 * 4;
        if (rows != 0 && rowBytes != 0 &&
            (rowBytes > size - offBits || rows - 1 > (size - offBits - rowBytes) / stride))
            return "converted a file whose pixel rows run past its end";
        for (std::uint64_t r = 0; rowBytes != 0 && r < rows; ++r) {
            for (std::uint64_t at = offBits + r * stride; at < offBits + r * stride + rowBytes;
                 at += pixelBytes) {
                if (bgr) {
                    tone(at);
                    continue;
                }
                std::uint32_t word = 0;
                for (std::uint64_t k = 0; k < pixelBytes; ++k)
                    word |= static_cast<std::uint32_t>(before[at + k]) << (8 * k);
                std::uint8_t colour[3];  // blue, green, red
                for (int c = 0; c < 3; ++c) colour[2 - c] = Widen(word, masks[c]);
                ToneOnePixel(colour);
                word &= ~(masks[0] | masks[1] | masks[2]);
                for (int c = 0; c < 3; ++c) word |= Narrow(colour[2 - c], masks[c]);
                for (std::uint64_t k = 0; k < pixelBytes; ++k)
                    expected[at + k] = static_cast<std::uint8_t>(word >> (8 * k));
            }
        }
    }

    // Not judged: the pixels of a kind this checker does not decode.
    const std::uint64_t judgedEnd = packed || bgr || indexed ? size : offBits;
    for (std::uint64_t at = 0; at < judgedEnd; ++at) {
        if (after[at] != expected[at])
            return "converted, yet byte " + std::to_string(at) + " is " +
                   std::to_string(after[at]) + " where " + std::to_string(expected[at]) +
                   " was due (given " + std::to_string(before[at]) + ")";
    }
    return "";
}

}  // namespace sorvane::fuzzcheck
