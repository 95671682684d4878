// compare_toned: checks a decoder's view of a toned BMP against the tone.
//
//   compare_toned RED_BITS GREEN_BITS BLUE_BITS BEFORE.rgba AFTER.rgba
//
// BEFORE and AFTER are raw 8-bit red, green, blue, alpha pixels as a decoder
// (ImageMagick) read them from the input and from the converted file. A
// channel stored with n bits is taken from the top n bits of the decoder's
// byte (decoders scale by repeating or shifting the bits, which keeps them
// there), widened to 8 bits by rounding v x 255 / (2^n - 1), toned as blue,
// green, red, and narrowed back by rounding t x (2^n - 1) / 255. Alpha must
// be unchanged. Exit status 0 when every pixel matches, 1 otherwise.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "tone/VintageTone.h"

namespace {

std::vector<std::uint8_t> ReadFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Channel {
    int bits;
    std::uint32_t Stored(std::uint8_t decoded) const { return decoded >> (8 - bits); }
    std::uint8_t Widen(std::uint32_t v) const {
        const std::uint32_t top = (1u << bits) - 1;
        return static_cast<std::uint8_t>((v * 510 + top) / (2 * top));
    }
    std::uint32_t Narrow(std::uint8_t t) const {
        const std::uint32_t top = (1u << bits) - 1;
        return (t * top * 2 + 255) / 510;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s RED_BITS GREEN_BITS BLUE_BITS BEFORE.rgba AFTER.rgba\n",
                     argv[0]);
        return 2;
    }
    const Channel red{std::atoi(argv[1])}, green{std::atoi(argv[2])}, blue{std::atoi(argv[3])};
    for (const Channel& c : {red, green, blue}) {
        if (c.bits < 1 || c.bits > 8) {
            std::fprintf(stderr, "channel bits must be 1 to 8\n");
            return 2;
        }
    }
    const auto before = ReadFile(argv[4]);
    const auto after = ReadFile(argv[5]);
    if (before.empty() || before.size() != after.size() || before.size() % 4 != 0) {
        std::fprintf(stderr, "decoded sizes differ or are empty: %zu and %zu bytes\n",
                     before.size(), after.size());
        return 1;
    }
    std::size_t wrong = 0;
    const std::size_t pixels = before.size() / 4;
    for (std::size_t i = 0; i < pixels; ++i) {
        const std::uint8_t* b = &before[i * 4];
        const std::uint8_t* a = &after[i * 4];
        std::uint8_t bgr[3] = {blue.Widen(blue.Stored(b[2])), green.Widen(green.Stored(b[1])),
                               red.Widen(red.Stored(b[0]))};
        sorvane::ToneOnePixel(bgr);
        const bool ok = red.Stored(a[0]) == red.Narrow(bgr[2]) &&
                        green.Stored(a[1]) == green.Narrow(bgr[1]) &&
                        blue.Stored(a[2]) == blue.Narrow(bgr[0]) && a[3] == b[3];
        if (!ok && ++wrong <= 5) {
            std::fprintf(stderr,
                         "pixel %zu: before %u,%u,%u,%u after %u,%u,%u,%u; want channels "
                         "%u,%u,%u\n",
                         i, b[0], b[1], b[2], b[3], a[0], a[1], a[2], a[3], red.Narrow(bgr[2]),
                         green.Narrow(bgr[1]), blue.Narrow(bgr[0]));
        }
    }
    if (wrong != 0) {
        std::fprintf(stderr, "%zu of %zu pixels differ from the toned colours\n", wrong, pixels);
        return 1;
    }
    std::printf("%zu pixels toned as expected\n", pixels);
    return 0;
}
