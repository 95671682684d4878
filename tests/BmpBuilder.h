// Builds BMP files byte by byte for tests, independently of the library's
// own reading code.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace bmptest {

struct Rgb {
    std::uint8_t b, g, r;
    bool operator==(const Rgb&) const = default;
};

inline void PutU16(std::vector<std::uint8_t>& v, std::size_t at, std::uint32_t x) {
    v[at] = static_cast<std::uint8_t>(x);
    v[at + 1] = static_cast<std::uint8_t>(x >> 8);
}
inline void PutU32(std::vector<std::uint8_t>& v, std::size_t at, std::uint32_t x) {
    PutU16(v, at, x & 0xFFFF);
    PutU16(v, at + 2, x >> 16);
}
inline std::uint32_t GetU16(const std::vector<std::uint8_t>& v, std::size_t at) {
    return v[at] | v[at + 1] << 8;
}
inline std::uint32_t GetU32(const std::vector<std::uint8_t>& v, std::size_t at) {
    return v[at] | v[at + 1] << 8 | v[at + 2] << 16 | static_cast<std::uint32_t>(v[at + 3]) << 24;
}

// A 24-bit uncompressed BMP. Pixel (x, y) is in image coordinates, y = 0 the
// top row, whatever the row order stored.
struct Bmp24 {
    std::int32_t width = 4;
    std::int32_t height = 2;
    bool topDown = false;
    std::uint32_t infoSize = 40;
    std::uint32_t gap = 0;       // bytes between the headers and the pixels
    std::uint32_t trailing = 0;  // bytes after the pixel rows
    std::uint8_t fill = 0xA5;    // value of padding, gap and trailing bytes
    std::function<Rgb(int x, int y)> pixel = [](int x, int y) {
        return Rgb{static_cast<std::uint8_t>(x * 37 + y), static_cast<std::uint8_t>(y * 91 + 3),
                   static_cast<std::uint8_t>(x * y + 200)};
    };

    std::size_t Stride() const { return (static_cast<std::size_t>(width) * 3 + 3) / 4 * 4; }
    std::size_t PixelOffset() const { return 14 + infoSize + gap; }
    // File offset of pixel (x, y).
    std::size_t At(int x, int y) const {
        const int row = topDown ? y : height - 1 - y;
        return PixelOffset() + row * Stride() + x * 3;
    }

    std::vector<std::uint8_t> Build() const {
        const std::size_t data = Stride() * height;
        std::vector<std::uint8_t> v(PixelOffset() + data + trailing, fill);
        v[0] = 'B';
        v[1] = 'M';
        PutU32(v, 2, static_cast<std::uint32_t>(v.size()));
        PutU32(v, 6, 0);
        PutU32(v, 10, static_cast<std::uint32_t>(PixelOffset()));
        for (std::size_t i = 14; i < 14 + infoSize; ++i) v[i] = static_cast<std::uint8_t>(i * 7);
        PutU32(v, 14, infoSize);
        PutU32(v, 18, static_cast<std::uint32_t>(width));
        PutU32(v, 22, static_cast<std::uint32_t>(topDown ? -height : height));
        PutU16(v, 26, 1);
        PutU16(v, 28, 24);
        PutU32(v, 30, 0);
        PutU32(v, 34, static_cast<std::uint32_t>(data));
        if (infoSize >= 40) PutU32(v, 46, 0);  // biClrUsed: no colour table
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const Rgb c = pixel(x, y);
                const std::size_t at = At(x, y);
                v[at] = c.b;
                v[at + 1] = c.g;
                v[at + 2] = c.r;
            }
        return v;
    }
};

// Any kind of BMP, built from the values its pixels store.

// The info headers, by size.
enum class InfoKind {
    Core12,      // BITMAPCOREHEADER: 16-bit width and height, 3-byte table entries
    OS2Short16,  // OS/2 2.x header cut to its first 16 bytes
    OS2Full64,   // OS/2 2.x header, all 64 bytes
    Info40,      // BITMAPINFOHEADER
    V2_52,       // + red, green, blue masks
    V3_56,       // + alpha mask
    V4_108,      // BITMAPV4HEADER
    V5_124,      // BITMAPV5HEADER
};

inline std::uint32_t InfoSize(InfoKind k) {
    switch (k) {
        case InfoKind::Core12:
            return 12;
        case InfoKind::OS2Short16:
            return 16;
        case InfoKind::OS2Full64:
            return 64;
        case InfoKind::Info40:
            return 40;
        case InfoKind::V2_52:
            return 52;
        case InfoKind::V3_56:
            return 56;
        case InfoKind::V4_108:
            return 108;
        case InfoKind::V5_124:
            return 124;
    }
    return 40;
}

struct Masks {
    std::uint32_t red = 0, green = 0, blue = 0, alpha = 0;
};

// What one pixel stores: `index` for an indexed image; otherwise the red,
// green and blue channel values (each as wide as its mask, 8 bits for 24-bit
// pixels) and `other`, the bits outside the three colour masks.
struct Pixel {
    std::uint32_t index = 0, red = 0, green = 0, blue = 0, other = 0;
    bool operator==(const Pixel&) const = default;
};

// Compression values written by the builder.
constexpr std::uint32_t kRGB = 0, kRLE8 = 1, kRLE4 = 2, kBitFields = 3, kAlphaBitFields = 6;
constexpr std::uint32_t kOS2Huffman = 3;

struct BuiltBmp {
    std::vector<std::uint8_t> bytes;
    // For each byte, the bits that hold a stored colour (and so may change).
    std::vector<std::uint8_t> colourBits;
    std::size_t pixelOffset = 0;
};

// Cheap, well-spread values for pixels and table entries.
inline std::uint32_t Mix(std::uint32_t a, std::uint32_t b, std::uint32_t salt = 0) {
    std::uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u) * 0x85EBCA77u ^ salt * 0xC2B2AE3Du;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return h;
}

struct BmpImage {
    InfoKind info = InfoKind::Info40;
    std::uint16_t bits = 8;
    std::uint32_t compression = kRGB;
    std::int32_t width = 5;
    std::int32_t height = 3;
    bool topDown = false;
    // Table entries written after the header (and masks); biClrUsed as given.
    std::vector<Rgb> palette;
    std::uint32_t clrUsed = 0;
    Masks masks;                 // written for (alpha) bit fields and in every V2+ header
    std::uint32_t gap = 0;       // bytes between the table and the pixels
    std::uint32_t trailing = 0;  // bytes after the pixels
    std::uint8_t fill = 0x5A;    // value of padding, gap, reserved and trailing bytes
    std::function<Pixel(int x, int y)> pixel = [](int x, int y) {
        const std::uint32_t h = Mix(x, y);
        return Pixel{h, h >> 8, h >> 16, h >> 24, h};
    };

    bool Indexed() const { return bits <= 8; }
    bool Core() const { return info == InfoKind::Core12; }
    bool OS2() const { return info == InfoKind::OS2Short16 || info == InfoKind::OS2Full64; }
    bool BitFields() const {
        return !OS2() && !Core() && (compression == kBitFields || compression == kAlphaBitFields);
    }
    bool RunLength() const { return compression == kRLE8 || compression == kRLE4; }
    bool Compressed() const { return compression != kRGB && !BitFields(); }
    std::size_t EntrySize() const { return Core() ? 3 : 4; }
    std::size_t MasksAfterHeader() const {
        if (!BitFields() || info != InfoKind::Info40) return 0;
        return compression == kAlphaBitFields ? 16 : 12;
    }
    // The channels of a 16- or 32-bit pixel as the format defines them.
    Masks ColourMasks() const {
        if (BitFields()) return masks;
        if (bits == 16) return {0x7C00, 0x03E0, 0x001F, 0};
        return {0xFF0000, 0x00FF00, 0x0000FF, 0};
    }
    std::size_t TableOffset() const { return 14 + InfoSize(info) + MasksAfterHeader(); }
    std::size_t PixelOffset() const { return TableOffset() + palette.size() * EntrySize() + gap; }
    std::size_t Stride() const { return (static_cast<std::size_t>(width) * bits + 31) / 32 * 4; }
    int FileRow(int y) const { return topDown ? y : height - 1 - y; }

    // A pixel as stored, its values cut to what the format can hold.
    Pixel Stored(int x, int y) const {
        Pixel p = pixel(x, y);
        if (Indexed()) {
            const std::uint32_t count = std::max<std::uint32_t>(1, palette.size());
            return Pixel{p.index % std::min<std::uint32_t>(count, 1u << bits), 0, 0, 0, 0};
        }
        if (bits == 24) return Pixel{0, p.red & 0xFF, p.green & 0xFF, p.blue & 0xFF, 0};
        const Masks m = ColourMasks();
        const auto cut = [](std::uint32_t v, std::uint32_t mask) {
            return v & (mask >> __builtin_ctz(mask));
        };
        const std::uint32_t word = bits == 16 ? 0xFFFF : 0xFFFFFFFF;
        return Pixel{0, cut(p.red, m.red), cut(p.green, m.green), cut(p.blue, m.blue),
                     p.other & word & ~(m.red | m.green | m.blue)};
    }

    BuiltBmp Build() const {
        const std::uint32_t infoSize = InfoSize(info);
        std::vector<std::uint8_t> data = PixelData();
        BuiltBmp out;
        out.pixelOffset = PixelOffset();
        auto& v = out.bytes;
        v.assign(out.pixelOffset + data.size() + trailing, fill);
        out.colourBits.assign(v.size(), 0);
        v[0] = 'B';
        v[1] = 'M';
        PutU32(v, 2, static_cast<std::uint32_t>(v.size()));
        PutU32(v, 6, 0x00C0FFEE);
        PutU32(v, 10, static_cast<std::uint32_t>(out.pixelOffset));
        // Fields this code does not set keep a recognisable pattern.
        for (std::size_t i = 14; i < 14 + infoSize; ++i)
            v[i] = static_cast<std::uint8_t>(i * 11 + 1);
        PutU32(v, 14, infoSize);
        if (Core()) {
            PutU16(v, 18, static_cast<std::uint32_t>(width));
            PutU16(v, 20, static_cast<std::uint32_t>(height));
            PutU16(v, 22, 1);
            PutU16(v, 24, bits);
        } else {
            PutU32(v, 18, static_cast<std::uint32_t>(width));
            PutU32(v, 22, static_cast<std::uint32_t>(topDown ? -height : height));
            PutU16(v, 26, 1);
            PutU16(v, 28, bits);
            if (infoSize >= 20) PutU32(v, 30, compression);
            if (infoSize >= 24) PutU32(v, 34, static_cast<std::uint32_t>(data.size()));
            if (infoSize >= 40) PutU32(v, 46, clrUsed);
            if (infoSize >= 52 || MasksAfterHeader() > 0) {
                PutU32(v, 54, masks.red);
                PutU32(v, 58, masks.green);
                PutU32(v, 62, masks.blue);
                if (infoSize >= 56 || MasksAfterHeader() == 16) PutU32(v, 66, masks.alpha);
            }
        }
        for (std::size_t i = 0; i < palette.size(); ++i) {
            const std::size_t at = TableOffset() + i * EntrySize();
            v[at] = palette[i].b;
            v[at + 1] = palette[i].g;
            v[at + 2] = palette[i].r;
            for (int k = 0; k < 3; ++k) out.colourBits[at + k] = 0xFF;
        }
        std::copy(data.begin(), data.end(), v.begin() + out.pixelOffset);
        if (!Indexed() && !Compressed()) {
            const std::size_t bytes = bits / 8;
            const Masks m = ColourMasks();
            const std::uint32_t colour = bits == 24 ? 0xFFFFFF : m.red | m.green | m.blue;
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x) {
                    const std::size_t at = out.pixelOffset + FileRow(y) * Stride() + x * bytes;
                    for (std::size_t k = 0; k < bytes; ++k)
                        out.colourBits[at + k] = static_cast<std::uint8_t>(colour >> (8 * k));
                }
        }
        return out;
    }

  private:
    std::vector<std::uint8_t> PixelData() const {
        if (compression == kRLE8 || compression == kRLE4) return RunLengthData();
        if (Compressed()) {
            // Huffman or anything else kept as it is: opaque bytes.
            std::vector<std::uint8_t> d(static_cast<std::size_t>(width) * height / 8 + 8);
            for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>(Mix(i, 7));
            return d;
        }
        std::vector<std::uint8_t> d(Stride() * height, fill);
        const Masks m = ColourMasks();
        for (int y = 0; y < height; ++y) {
            std::uint8_t* row = d.data() + FileRow(y) * Stride();
            for (int x = 0; x < width; ++x) {
                const Pixel p = Stored(x, y);
                if (Indexed()) {
                    // Pixels fill each byte from its high bits down.
                    const std::size_t bit = static_cast<std::size_t>(x) * bits;
                    const int shift = 8 - bits - static_cast<int>(bit % 8);
                    std::uint8_t& b = row[bit / 8];
                    b = static_cast<std::uint8_t>((b & ~(((1u << bits) - 1) << shift)) |
                                                  p.index << shift);
                } else if (bits == 24) {
                    row[x * 3] = static_cast<std::uint8_t>(p.blue);
                    row[x * 3 + 1] = static_cast<std::uint8_t>(p.green);
                    row[x * 3 + 2] = static_cast<std::uint8_t>(p.red);
                } else {
                    const std::uint32_t word = p.other | p.red << __builtin_ctz(m.red) |
                                               p.green << __builtin_ctz(m.green) |
                                               p.blue << __builtin_ctz(m.blue);
                    for (int k = 0; k < bits / 8; ++k)
                        row[x * (bits / 8) + k] = static_cast<std::uint8_t>(word >> (8 * k));
                }
            }
        }
        return d;
    }

    // Encoded runs of equal indices, bottom row first, each row closed by an
    // end of line and the image by an end of bitmap. RLE4 runs alternate the
    // two indices of their byte; here both are the same.
    std::vector<std::uint8_t> RunLengthData() const {
        std::vector<std::uint8_t> d;
        for (int fileRow = 0; fileRow < height; ++fileRow) {
            const int y = height - 1 - fileRow;
            for (int x = 0; x < width;) {
                const std::uint32_t index = Stored(x, y).index;
                int run = 1;
                while (x + run < width && run < 255 && Stored(x + run, y).index == index) ++run;
                d.push_back(static_cast<std::uint8_t>(run));
                d.push_back(static_cast<std::uint8_t>(bits == 4 ? index << 4 | index : index));
                x += run;
            }
            d.push_back(0);
            d.push_back(0);
        }
        d.push_back(0);
        d.push_back(1);
        return d;
    }
};

// A 24-bit fixture with the pixel pattern above, in one call.
inline Bmp24 MakeBmp24(std::int32_t w, std::int32_t h, bool topDown = false,
                       std::uint32_t infoSize = 40, std::uint32_t gap = 0,
                       std::uint32_t trailing = 0) {
    Bmp24 b;
    b.width = w;
    b.height = h;
    b.topDown = topDown;
    b.infoSize = infoSize;
    b.gap = gap;
    b.trailing = trailing;
    return b;
}

}  // namespace bmptest
