// What ToneBMPFile promises for any bytes whatsoever, checked from outside
// the library with its own reading of the headers. Shared by the fuzzer and
// by the test that replays the fuzzer's seeds and findings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "convert/BMPLayout.h"
#include "tone/VintageTone.h"

namespace sorvane::fuzzcheck {

inline std::uint32_t U16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8;
}
inline std::uint32_t U32(std::span<const std::uint8_t> b, std::size_t at) {
    return U16(b, at) | U16(b, at + 2) << 16;
}

// Checks `after`, the bytes ToneBMPFile left behind (with `status`), against
// `before`, the bytes it was given. Returns "" when every promise holds,
// otherwise what was broken.
//
// Always:  the status is one of the known ones; a refusal changes nothing.
// Success: the file has its whole file header and info header, and both are
//          unchanged. Colours live only after them (a colour table between
//          the info header and bfOffBits, pixels from bfOffBits on), so no
//          byte in [0, 14 + biSize) may change, whatever the bit depth; nor
//          may the bit-field masks that follow a 40-byte header.
// Success on an indexed image (1, 2, 4 or 8 bits): nothing from bfOffBits on
//          changes.
// Success on an uncompressed 24-bit file with an info header of 40 bytes or
//          more: the rows lie wholly inside the file, after the headers;
//          every pixel in them is exactly the reference tone of the pixel
//          given, and every byte from bfOffBits on that is not a pixel (row
//          padding, trailing data) is unchanged. Bytes between the headers
//          and bfOffBits are not judged here: some files keep a colour table
//          there.
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

    const std::uint64_t size = before.size();
    if (size < 18 || before[0] != 'B' || before[1] != 'M')
        return "converted a file without BM header";
    const std::uint64_t headersEnd = 14 + static_cast<std::uint64_t>(U32(before, 14));
    if (headersEnd > size) return "converted a file whose info header runs past its end";
    for (std::size_t i = 0; i < headersEnd; ++i)
        if (after[i] != before[i])
            return "converted, yet header byte " + std::to_string(i) + " changed";
    // The channel masks that follow a 40-byte header for bit fields (12
    // bytes, 16 with alpha) are not colours either.
    if (U32(before, 14) == 40 && (U16(before, 28) == 16 || U16(before, 28) == 32)) {
        const std::uint32_t compression = U32(before, 30);
        const std::uint64_t masksEnd = headersEnd + (compression == 3   ? 12
                                                     : compression == 6 ? 16
                                                                        : 0);
        for (std::uint64_t at = headersEnd; at < masksEnd && at < size; ++at)
            if (after[at] != before[at])
                return "converted, yet mask byte " + std::to_string(at) + " changed";
    }

    // An indexed image keeps its colours in the table alone: the pixel data
    // (indices, raw or run-length coded) never changes.
    const std::uint32_t infoSize = U32(before, 14);
    const std::uint32_t bitCount = infoSize == 12 ? U16(before, 24) : U16(before, 28);
    const std::uint64_t dataAt = U32(before, 10);
    if (bitCount == 1 || bitCount == 2 || bitCount == 4 || bitCount == 8) {
        for (std::uint64_t at = dataAt < headersEnd ? headersEnd : dataAt; at < size; ++at)
            if (after[at] != before[at])
                return "converted an indexed image, yet pixel byte " + std::to_string(at) +
                       " changed";
        return "";
    }

    if (infoSize < 40 || bitCount != 24 || U32(before, 30) != 0) return "";

    const auto width = static_cast<std::int32_t>(U32(before, 18));
    const auto height = static_cast<std::int32_t>(U32(before, 22));
    const std::uint64_t offBits = U32(before, 10);
    if (width < 0) return "converted a 24-bit file with a negative width";
    if (offBits < headersEnd) return "converted a 24-bit file whose pixels overlap its headers";
    const std::uint64_t rows = height < 0 ? -static_cast<std::int64_t>(height) : height;
    const std::uint64_t rowBytes = static_cast<std::uint64_t>(width) * 3;
    const std::uint64_t stride = (rowBytes + 3) / 4 * 4;
    if (rows != 0 && rowBytes != 0 &&
        (offBits > size || rowBytes > size - offBits ||
         rows - 1 > (size - offBits - rowBytes) / stride))
        return "converted a 24-bit file whose pixel rows run past its end";

    for (std::uint64_t at = offBits; at < size;) {
        // Width 0 has no pixels (and a stride of 0).
        const bool isPixel =
            stride != 0 && (at - offBits) / stride < rows && (at - offBits) % stride < rowBytes;
        if (isPixel) {
            std::uint8_t pixel[3] = {before[at], before[at + 1], before[at + 2]};
            ToneOnePixel(pixel);
            for (int k = 0; k < 3; ++k)
                if (after[at + k] != pixel[k])
                    return "pixel byte " + std::to_string(at + k) + " is not the reference tone";
            at += 3;
        } else {
            if (after[at] != before[at])
                return "non-colour byte " + std::to_string(at) + " after bfOffBits changed";
            ++at;
        }
    }
    return "";
}

}  // namespace sorvane::fuzzcheck
