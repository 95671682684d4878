#include "convert/BMPColourPlan.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <initializer_list>
#include <limits>

namespace sorvane {

namespace {

// BITMAPFILEHEADER (14 bytes, little-endian):
//   0 bfType "BM" | 2 bfSize | 6 bfReserved1 | 8 bfReserved2 | 10 bfOffBits
// followed by an info header whose first 4 bytes give its own size.
constexpr std::uint64_t kFileHeaderSize = 14;
constexpr std::uint64_t kOffBitsAt = 10;

// Info header sizes.
constexpr std::uint64_t kCoreHeaderSize = 12;  // BITMAPCOREHEADER (OS/2 1.x)
constexpr std::uint64_t kOS2MinSize = 16;      // OS/2 2.x header, shortest form
constexpr std::uint64_t kOS2FullSize = 64;     // OS/2 2.x header, every field
constexpr std::uint64_t kInfoHeaderSize = 40;  // BITMAPINFOHEADER
constexpr std::uint64_t kMasksInHeader = 52;   // V2 and later hold the masks themselves
constexpr std::uint64_t kAlphaInHeader = 56;   // V3 and later hold an alpha mask too

// BITMAPCOREHEADER fields (unsigned 16-bit width and height, rows bottom-up).
constexpr std::size_t kCoreWidthAt = 4;
constexpr std::size_t kCoreHeightAt = 6;
constexpr std::size_t kCoreBitCountAt = 10;

// BITMAPINFOHEADER fields; the OS/2 2.x header shares this layout for its
// first 40 bytes, and a shorter OS/2 2.x header leaves the missing ones 0.
constexpr std::size_t kWidthAt = 4;         // int32 biWidth
constexpr std::size_t kHeightAt = 8;        // int32 biHeight, negative = top-down
constexpr std::size_t kBitCountAt = 14;     // uint16 biBitCount
constexpr std::size_t kCompressionAt = 16;  // uint32 biCompression
constexpr std::size_t kClrUsedAt = 32;      // uint32 biClrUsed
constexpr std::size_t kRedMaskAt = 40;      // V2+: red, green, blue masks; V3+: alpha
constexpr std::size_t kAlphaMaskAt = 52;

// biCompression values of the Windows headers...
constexpr std::uint32_t kRGB = 0;
constexpr std::uint32_t kRLE8 = 1;
constexpr std::uint32_t kRLE4 = 2;
constexpr std::uint32_t kBitFields = 3;
constexpr std::uint32_t kJPEG = 4;
constexpr std::uint32_t kPNG = 5;
constexpr std::uint32_t kAlphaBitFields = 6;
// ...and the two that mean something else after an OS/2 2.x header.
constexpr std::uint32_t kOS2Huffman1D = 3;
constexpr std::uint32_t kOS2RLE24 = 4;

enum class HeaderKind { Core, OS2, Windows };

std::uint32_t ReadU16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8;
}

std::uint32_t ReadU32(std::span<const std::uint8_t> b, std::size_t at) {
    return ReadU16(b, at) | ReadU16(b, at + 2) << 16;
}

// The header's fields that decide where the colours are.
struct Header {
    HeaderKind kind = HeaderKind::Windows;
    std::uint64_t size = 0;  // of the info header
    std::int64_t width = 0;
    std::int64_t height = 0;  // negative = top-down
    std::uint32_t bitCount = 0;
    std::uint32_t compression = kRGB;
    std::uint32_t clrUsed = 0;
};

// `file` holds at least the first kPlanHeadBytes bytes of a file of `size`
// bytes (all of it if shorter); no byte past those is read.
LayoutStatus ReadHeader(std::span<const std::uint8_t> file, std::uint64_t size, Header& h) {
    if (size < kFileHeaderSize + 4 || file[0] != 'B' || file[1] != 'M')
        return LayoutStatus::NotValid;
    h.size = ReadU32(file, kFileHeaderSize);
    if (h.size == kCoreHeaderSize) {
        h.kind = HeaderKind::Core;
    } else if (h.size == kOS2FullSize ||
               (h.size >= kOS2MinSize && h.size < kInfoHeaderSize && h.size % 4 == 0)) {
        // An OS/2 2.x header may stop after any of its 4-byte fields.
        h.kind = HeaderKind::OS2;
    } else if (h.size >= kInfoHeaderSize) {
        h.kind = HeaderKind::Windows;
    } else {
        return LayoutStatus::NotValid;
    }
    if (kFileHeaderSize + h.size > size) return LayoutStatus::NotValid;

    // Only the info header's first kPlanHeadBytes - kFileHeaderSize bytes
    // are ever read (the fields below and the masks of a V2 or later header).
    const auto info = file.subspan(kFileHeaderSize);
    if (h.kind == HeaderKind::Core) {
        h.width = ReadU16(info, kCoreWidthAt);
        h.height = ReadU16(info, kCoreHeightAt);
        h.bitCount = ReadU16(info, kCoreBitCountAt);
        return LayoutStatus::Converted;
    }
    // A field missing from a short OS/2 2.x header counts as 0.
    const auto field32 = [&](std::size_t at) -> std::uint32_t {
        return at + 4 <= h.size ? ReadU32(info, at) : 0;
    };
    h.width = static_cast<std::int32_t>(field32(kWidthAt));
    h.height = static_cast<std::int32_t>(field32(kHeightAt));
    h.bitCount = ReadU16(info, kBitCountAt);
    h.compression = field32(kCompressionAt);
    h.clrUsed = field32(kClrUsedAt);
    if (h.width < 0 || h.height == std::numeric_limits<std::int32_t>::min())
        return LayoutStatus::NotValid;
    return LayoutStatus::Converted;
}

bool IsIndexedBitCount(std::uint32_t bits) {
    return bits == 1 || bits == 2 || bits == 4 || bits == 8;
}

bool IsKnownBitCount(std::uint32_t bits) {
    return IsIndexedBitCount(bits) || bits == 16 || bits == 24 || bits == 32 || bits == 64;
}

// What the pixel data is, decided from the bit count and the compression.
struct Coding {
    bool indexed = false;     // pixels are indices into the colour table
    bool compressed = false;  // RLE or Huffman: rows are not at fixed places
    bool masks = false;       // BI_BITFIELDS / BI_ALPHABITFIELDS
    PixelCoding pixels = PixelCoding::None;
};

LayoutStatus Classify(const Header& h, Coding& c) {
    const std::uint32_t bits = h.bitCount;
    // An embedded JPEG or PNG image carries its own colours, and its header
    // gives bit count 0, as the format requires: a valid file, not converted.
    if (h.kind == HeaderKind::Windows && (h.compression == kJPEG || h.compression == kPNG) &&
        bits == 0)
        return LayoutStatus::Unsupported;
    if (!IsKnownBitCount(bits)) return LayoutStatus::NotValid;
    if (bits == 64) return LayoutStatus::Unsupported;

    // Compressed data needs one particular bit count.
    const auto compressedAt = [&](std::uint32_t needed) {
        if (bits != needed) return LayoutStatus::NotValid;
        c.indexed = true;
        c.compressed = true;
        return LayoutStatus::Converted;
    };

    if (h.compression == kRGB) {
        if (IsIndexedBitCount(bits)) {
            c.indexed = true;
        } else if (bits == 24) {
            c.pixels = PixelCoding::Bgr24;
        } else if (h.kind != HeaderKind::Windows) {
            // 16 and 32 bits are Windows additions; the older headers never had them.
            return LayoutStatus::Unsupported;
        } else {
            c.pixels = bits == 16 ? PixelCoding::Packed16 : PixelCoding::Packed32;
        }
        return LayoutStatus::Converted;
    }
    if (h.kind == HeaderKind::OS2) {
        switch (h.compression) {
            case kRLE8:
                return compressedAt(8);
            case kRLE4:
                return compressedAt(4);
            case kOS2Huffman1D:
                return compressedAt(1);
            case kOS2RLE24:
                // Run-length coded 24-bit colours: the colours are inside the
                // runs, which would have to be decoded and coded again.
                return bits == 24 ? LayoutStatus::Unsupported : LayoutStatus::NotValid;
            default:
                return LayoutStatus::Unsupported;
        }
    }
    switch (h.compression) {
        case kRLE8:
            return compressedAt(8);
        case kRLE4:
            return compressedAt(4);
        case kBitFields:
        case kAlphaBitFields:
            if (bits != 16 && bits != 32) return LayoutStatus::NotValid;
            c.masks = true;
            c.pixels = bits == 16 ? PixelCoding::Packed16 : PixelCoding::Packed32;
            return LayoutStatus::Converted;
        case kJPEG:
        case kPNG:
        default:
            return LayoutStatus::Unsupported;
    }
}

bool IsContiguous(std::uint32_t mask) {
    const std::uint32_t low = mask >> std::countr_zero(mask);
    return (low & (low + 1)) == 0;
}

// Colour masks must each be non-empty, contiguous and inside the pixel word,
// and no two may share a bit; a non-empty alpha mask may not share a bit
// with them either (its bits are kept, the colour bits rewritten).
LayoutStatus CheckMasks(const ChannelMasks& m, std::uint32_t alpha, std::uint32_t bits) {
    const std::uint64_t word = (std::uint64_t{1} << bits) - 1;
    for (const std::uint32_t mask : {m.red, m.green, m.blue}) {
        if (mask == 0 || mask > word || !IsContiguous(mask)) return LayoutStatus::NotValid;
    }
    if ((m.red & m.green) != 0 || (m.red & m.blue) != 0 || (m.green & m.blue) != 0 ||
        (alpha & (m.red | m.green | m.blue)) != 0)
        return LayoutStatus::NotValid;
    return LayoutStatus::Converted;
}

// Checks that `rows` rows of `rowBytes` bytes, `stride` apart from `first`,
// lie inside a file of `size` bytes (the last row's padding may be missing).
bool RowsFit(std::uint64_t first, std::uint64_t rows, std::uint64_t rowBytes, std::uint64_t stride,
             std::uint64_t size) {
    if (rows == 0 || rowBytes == 0) return true;
    if (first > size) return false;
    // Dividing instead of multiplying keeps huge claimed sizes from overflowing.
    const std::uint64_t room = size - first;
    return rowBytes <= room && rows - 1 <= (room - rowBytes) / stride;
}

}  // namespace

LayoutStatus PlanColours(std::span<const std::uint8_t> file, ColourPlan& plan) {
    return PlanColours(file, file.size(), plan);
}

LayoutStatus PlanColours(std::span<const std::uint8_t> head, std::uint64_t size, ColourPlan& plan) {
    // Every offset below kPlanHeadBytes that is read lies inside a file of
    // `size` bytes (checked on the way), so `head` must hold them all.
    if (head.size() > size) head = head.first(static_cast<std::size_t>(size));
    if (head.size() < std::min<std::uint64_t>(size, kPlanHeadBytes)) return LayoutStatus::NotValid;
    const std::span<const std::uint8_t> file = head;
    Header h;
    if (const LayoutStatus s = ReadHeader(file, size, h); s != LayoutStatus::Converted) return s;
    Coding c;
    if (const LayoutStatus s = Classify(h, c); s != LayoutStatus::Converted) return s;

    const std::uint64_t headersEnd = kFileHeaderSize + h.size;
    const std::uint64_t offBits = ReadU32(file, kOffBitsAt);
    if (offBits < headersEnd || offBits > size) return LayoutStatus::NotValid;

    // Masks: inside a V2 or later header, or right after a 40-byte one.
    std::uint64_t tableStart = headersEnd;
    ChannelMasks masks;
    if (c.masks) {
        std::uint64_t at = 0;
        std::uint64_t count = 0;  // masks present: red, green, blue and maybe alpha
        if (h.size == kInfoHeaderSize) {
            at = headersEnd;
            count = h.compression == kAlphaBitFields ? 4 : 3;
            tableStart = headersEnd + count * 4;
            if (tableStart > offBits) return LayoutStatus::NotValid;
        } else if (h.size >= kMasksInHeader) {
            at = kFileHeaderSize + kRedMaskAt;
            count = h.size >= kAlphaInHeader ? 4 : 3;
        } else {
            return LayoutStatus::Unsupported;  // a header between 40 and 52 bytes
        }
        masks = {ReadU32(file, at), ReadU32(file, at + 4), ReadU32(file, at + 8)};
        const std::uint32_t alpha = count == 4 ? ReadU32(file, at + kAlphaMaskAt - kRedMaskAt) : 0;
        if (const LayoutStatus s = CheckMasks(masks, alpha, h.bitCount);
            s != LayoutStatus::Converted)
            return s;
    } else if (c.pixels == PixelCoding::Packed16) {
        masks = {0x7C00, 0x03E0, 0x001F};  // 5-5-5, top bit unused
    } else if (c.pixels == PixelCoding::Packed32) {
        masks = {0xFF0000, 0x00FF00, 0x0000FF};  // blue, green, red bytes, fourth byte unused
    }

    // The colour table: biClrUsed entries (0 means all 2^bits for an indexed
    // image; the core header has no such field), but never past the pixels.
    const std::uint64_t entrySize = h.kind == HeaderKind::Core ? 3 : 4;
    std::uint64_t entries = h.clrUsed;
    if (c.indexed) {
        const std::uint64_t all = std::uint64_t{1} << h.bitCount;
        if (entries > all) return LayoutStatus::NotValid;
        if (entries == 0) entries = all;
    }
    entries = std::min(entries, (offBits - tableStart) / entrySize);
    // An indexed image without a single colour cannot be shown.
    if (c.indexed && entries == 0) return LayoutStatus::NotValid;

    // Rows: padded to 4 bytes whatever the bit depth; bottom-up for a positive
    // height, top-down for a negative one. Each row is toned on its own, so the
    // order does not matter here.
    const std::uint64_t rows = h.height < 0 ? -h.height : h.height;
    if (c.compressed) {
        // Run-length and Huffman data are never touched. The format has no
        // top-down form of them, yet some writers store RLE images with a
        // negative height and common readers show them: only their table
        // changes, so they are toned. Huffman data has no such readers.
        if (h.height < 0 && h.compression != kRLE8 && h.compression != kRLE4)
            return LayoutStatus::NotValid;
    } else {
        const std::uint64_t rowBits = static_cast<std::uint64_t>(h.width) * h.bitCount;
        const std::uint64_t rowBytes = (rowBits + 7) / 8;
        const std::uint64_t stride = (rowBits + 31) / 32 * 4;
        if (!RowsFit(offBits, rows, rowBytes, stride, size)) return LayoutStatus::NotValid;
        plan.pixels.first = offBits;
        plan.pixels.stride = stride;
        plan.pixels.rowPixels = static_cast<std::uint64_t>(h.width);
        plan.pixels.rows = rows;
    }
    plan.pixels.coding = c.pixels;
    plan.pixels.masks = masks;
    plan.table = ColourTable{tableStart, entries, static_cast<std::uint32_t>(entrySize)};
    return LayoutStatus::Converted;
}

}  // namespace sorvane
