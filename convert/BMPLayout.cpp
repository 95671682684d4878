#include "convert/BMPLayout.h"

#include <cstddef>
#include <limits>

#include "tone/VintageTone.h"

namespace sorvane {

namespace {

// BITMAPFILEHEADER (14 bytes, little-endian):
//   0 bfType "BM" | 2 bfSize | 6 bfReserved1 | 8 bfReserved2 | 10 bfOffBits
// followed by an info header whose first 4 bytes give its own size.
constexpr std::size_t kFileHeaderSize = 14;
constexpr std::size_t kInfoHeaderMin = 40;  // BITMAPINFOHEADER
constexpr std::size_t kCoreHeaderSize = 12;  // BITMAPCOREHEADER (OS/2 1.x)

// BITMAPINFOHEADER field offsets, from the start of the info header.
constexpr std::size_t kWidthAt = 4;        // int32 biWidth
constexpr std::size_t kHeightAt = 8;       // int32 biHeight, negative = top-down
constexpr std::size_t kBitCountAt = 14;    // uint16 biBitCount
constexpr std::size_t kCompressionAt = 16; // uint32 biCompression, 0 = BI_RGB

std::uint32_t ReadU16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8;
}

std::uint32_t ReadU32(std::span<const std::uint8_t> b, std::size_t at) {
    return ReadU16(b, at) | ReadU16(b, at + 2) << 16;
}

std::int32_t ReadI32(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::int32_t>(ReadU32(b, at));
}

// Where the 24-bit pixel rows are: `rows` rows of `rowPixels` pixels, the
// first at `first`, each `stride` bytes after the previous in file order.
struct PixelRows {
    std::uint64_t first = 0;
    std::uint64_t stride = 0;
    std::uint64_t rowPixels = 0;
    std::uint64_t rows = 0;
};

LayoutStatus Locate(std::span<const std::uint8_t> file, PixelRows& out) {
    const std::uint64_t size = file.size();
    if (size < kFileHeaderSize + 4 || file[0] != 'B' || file[1] != 'M') return LayoutStatus::NotValid;

    const std::uint64_t infoSize = ReadU32(file, kFileHeaderSize);
    if (infoSize == kCoreHeaderSize) return LayoutStatus::Unsupported;
    if (infoSize < kInfoHeaderMin) return LayoutStatus::NotValid;
    const std::uint64_t headersEnd = kFileHeaderSize + infoSize;
    if (headersEnd > size) return LayoutStatus::NotValid;

    const auto info = file.subspan(kFileHeaderSize);
    if (ReadU16(info, kBitCountAt) != 24 || ReadU32(info, kCompressionAt) != 0)
        return LayoutStatus::Unsupported;

    const std::int32_t width = ReadI32(info, kWidthAt);
    const std::int32_t height = ReadI32(info, kHeightAt);
    if (width < 0 || height == std::numeric_limits<std::int32_t>::min())
        return LayoutStatus::NotValid;

    const std::uint64_t offBits = ReadU32(file, 10);
    if (offBits < headersEnd || offBits > size) return LayoutStatus::NotValid;

    // Each row holds width x 3 bytes padded up to a multiple of 4. The rows
    // are bottom-up for a positive height and top-down for a negative one;
    // either way they lie one after the other, and each is toned on its own,
    // so the order does not matter here. The last row's padding may be
    // missing from the file: it is not needed.
    const std::uint64_t rows = height < 0 ? -static_cast<std::int64_t>(height) : height;
    const std::uint64_t rowBytes = static_cast<std::uint64_t>(width) * 3;
    const std::uint64_t stride = (rowBytes + 3) / 4 * 4;
    if (rows != 0 && rowBytes != 0) {
        // offBits <= size, so the room left is never negative; dividing
        // instead of multiplying keeps huge claimed sizes from overflowing.
        const std::uint64_t room = size - offBits;
        if (rowBytes > room || (rows - 1) > (room - rowBytes) / stride) return LayoutStatus::NotValid;
    }
    out = PixelRows{offBits, stride, static_cast<std::uint64_t>(width), rows};
    return LayoutStatus::Converted;
}

}  // namespace

std::string_view LayoutStatusLine(LayoutStatus status) {
    switch (status) {
        case LayoutStatus::Converted: return "";
        case LayoutStatus::NotValid: return "Not a valid BMP file";
        case LayoutStatus::Unsupported: return "Unsupported BMP file";
    }
    return "Not a valid BMP file";
}

LayoutStatus ToneBMPFile(std::span<std::uint8_t> file) {
    PixelRows rows;
    const LayoutStatus status = Locate(file, rows);
    if (status != LayoutStatus::Converted || rows.rows == 0 || rows.rowPixels == 0) return status;

    const std::size_t rowBytes = rows.rowPixels * 3;
    if (rows.stride == rowBytes) {
        // No padding: the rows form one run of pixels.
        ToneRun(file.subspan(rows.first, rowBytes * rows.rows));
    } else {
        for (std::uint64_t r = 0; r < rows.rows; ++r)
            ToneRun(file.subspan(rows.first + r * rows.stride, rowBytes));
    }
    return LayoutStatus::Converted;
}

}  // namespace sorvane
