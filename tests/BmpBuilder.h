// Builds BMP files byte by byte for tests, independently of the library's
// own reading code.
#pragma once

#include <cstdint>
#include <functional>
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

}  // namespace bmptest
