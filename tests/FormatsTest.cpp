// Every kind of BMP: built from pixel values, toned, decoded back by this
// file's own reader and compared with the toned colours.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <utility>

#include "BmpBuilder.h"
#include "MemoryStream.h"
#include "TestFiles.h"
#include "convert/BMPColourPlan.h"
#include "convert/BMPLayout.h"
#include "module/bmpv.h"
#include "tone/VintageTone.h"

namespace {

using bmptest::BmpImage;
using bmptest::GetU16;
using bmptest::GetU32;
using bmptest::InfoKind;
using bmptest::Masks;
using bmptest::Pixel;
using bmptest::PutU16;
using bmptest::PutU32;
using bmptest::Rgb;
using sorvane::LayoutStatus;
using Bytes = std::vector<std::uint8_t>;

// ---- A small BMP reader, written from the format alone ---------------------

int Shift(std::uint32_t mask) {
    return mask == 0 ? 0 : __builtin_ctz(mask);
}
int Width(std::uint32_t mask) {
    return __builtin_popcount(mask);
}

struct Decoded {
    std::int64_t width = 0, height = 0;
    std::vector<Pixel> pixels;  // row 0 is the top row
};

std::optional<std::vector<std::uint32_t>> DecodeRunLength(const Bytes& f, std::size_t at, int bits,
                                                          std::int64_t w, std::int64_t h) {
    std::vector<std::uint32_t> idx(static_cast<std::size_t>(w * h), 0);
    std::int64_t x = 0, row = 0;  // row counted from the bottom
    const auto put = [&](std::uint32_t v) {
        if (x < w && row < h) idx[static_cast<std::size_t>((h - 1 - row) * w + x)] = v;
        ++x;
    };
    while (at + 1 < f.size()) {
        const std::uint8_t n = f[at], v = f[at + 1];
        at += 2;
        if (n > 0) {
            for (int i = 0; i < n; ++i) put(bits == 8 ? v : (i % 2 ? v & 15 : v >> 4));
        } else if (v == 0) {
            x = 0, ++row;
        } else if (v == 1) {
            return idx;
        } else if (v == 2) {
            if (at + 1 >= f.size()) return std::nullopt;
            x += f[at], row += f[at + 1];
            at += 2;
        } else {
            const std::size_t bytes = bits == 8 ? v : (v + 1) / 2;
            if (at + bytes > f.size()) return std::nullopt;
            for (int i = 0; i < v; ++i)
                put(bits == 8 ? f[at + i] : (i % 2 ? f[at + i / 2] & 15 : f[at + i / 2] >> 4));
            at += (bytes + 1) / 2 * 2;
        }
    }
    return std::nullopt;
}

// Pixels of an uncompressed or run-length image; nullopt for data it cannot
// read (Huffman).
std::optional<Decoded> Decode(const Bytes& f) {
    const std::uint32_t size = GetU32(f, 14);
    const bool core = size == 12;
    const bool os2 = size == 64 || (size >= 16 && size < 40);
    Decoded d;
    int bits;
    std::uint32_t compression = 0, clrUsed = 0;
    if (core) {
        d.width = GetU16(f, 18);
        d.height = GetU16(f, 20);
        bits = static_cast<int>(GetU16(f, 24));
    } else {
        d.width = static_cast<std::int32_t>(GetU32(f, 18));
        d.height = static_cast<std::int32_t>(GetU32(f, 22));
        bits = static_cast<int>(GetU16(f, 28));
        if (size >= 20) compression = GetU32(f, 30);
        if (size >= 36) clrUsed = GetU32(f, 46);
    }
    const bool topDown = d.height < 0;
    d.height = std::abs(d.height);
    const bool fields = !core && !os2 && (compression == 3 || compression == 6);
    Masks m;
    std::size_t table = 14 + size;
    if (fields) {
        m = {GetU32(f, 54), GetU32(f, 58), GetU32(f, 62), 0};
        if (size == 40) table += compression == 6 ? 16 : 12;
    } else if (bits == 16) {
        m = {0x7C00, 0x03E0, 0x001F, 0};
    } else if (bits == 32) {
        m = {0xFF0000, 0xFF00, 0xFF, 0};
    }
    const std::size_t entry = core ? 3 : 4;
    const std::size_t offBits = GetU32(f, 10);
    std::vector<Rgb> palette;
    if (bits <= 8) {
        const std::size_t count = clrUsed ? clrUsed : 1u << bits;
        for (std::size_t i = 0; i < count && table + i * entry + 3 <= offBits; ++i) {
            const std::size_t at = table + i * entry;
            palette.push_back(Rgb{f[at], f[at + 1], f[at + 2]});
        }
    }
    const auto colour = [&](std::uint32_t index) {
        const Rgb c = index < palette.size() ? palette[index] : Rgb{0, 0, 0};
        return Pixel{index, c.r, c.g, c.b, 0};
    };

    const bool rle = (compression == 1 || compression == 2) && !core;
    if (compression != 0 && !fields && !rle) return std::nullopt;
    if (rle) {
        const auto idx = DecodeRunLength(f, offBits, bits, d.width, d.height);
        if (!idx) return std::nullopt;
        for (const std::uint32_t i : *idx) d.pixels.push_back(colour(i));
        return d;
    }
    const std::size_t stride = (d.width * bits + 31) / 32 * 4;
    for (std::int64_t y = 0; y < d.height; ++y) {
        const std::size_t row = offBits + (topDown ? y : d.height - 1 - y) * stride;
        for (std::int64_t x = 0; x < d.width; ++x) {
            if (bits <= 8) {
                const std::size_t bit = x * bits;
                const int shift = 8 - bits - static_cast<int>(bit % 8);
                d.pixels.push_back(colour(f[row + bit / 8] >> shift & ((1u << bits) - 1)));
            } else if (bits == 24) {
                const std::size_t at = row + x * 3;
                d.pixels.push_back(Pixel{0, f[at + 2], f[at + 1], f[at], 0});
            } else {
                std::uint32_t word = 0;
                for (int k = 0; k < bits / 8; ++k)
                    word |= static_cast<std::uint32_t>(f[row + x * (bits / 8) + k]) << (8 * k);
                d.pixels.push_back(
                    Pixel{0, (word & m.red) >> Shift(m.red), (word & m.green) >> Shift(m.green),
                          (word & m.blue) >> Shift(m.blue), word & ~(m.red | m.green | m.blue)});
            }
        }
    }
    return d;
}

// ---- The expected colours ---------------------------------------------------

Rgb Tone(Rgb c) {
    std::uint8_t p[3] = {c.b, c.g, c.r};
    sorvane::ToneOnePixel(p);
    return Rgb{p[0], p[1], p[2]};
}

// A channel of n bits is toned at 8 bits: widened by scaling and rounding,
// narrowed back the same way. (2^n - 1 and 255 are odd: no exact halves.)
std::uint32_t Widen(std::uint32_t v, int n) {
    return static_cast<std::uint32_t>(std::lround(v * 255.0 / (std::exp2(n) - 1)));
}
std::uint32_t Narrow(std::uint32_t t, int n) {
    return static_cast<std::uint32_t>(std::lround(t * (std::exp2(n) - 1) / 255.0));
}

std::vector<Pixel> ExpectedToned(const BmpImage& img) {
    std::vector<Pixel> out;
    const Masks m = img.ColourMasks();
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            const Pixel p = img.Stored(x, y);
            if (img.Indexed()) {
                const Rgb c = Tone(img.palette[p.index]);
                out.push_back(Pixel{p.index, c.r, c.g, c.b, 0});
            } else if (img.bits == 24) {
                const Rgb c =
                    Tone(Rgb{static_cast<std::uint8_t>(p.blue), static_cast<std::uint8_t>(p.green),
                             static_cast<std::uint8_t>(p.red)});
                out.push_back(Pixel{0, c.r, c.g, c.b, 0});
            } else {
                const int nr = Width(m.red), ng = Width(m.green), nb = Width(m.blue);
                const Rgb c = Tone(Rgb{static_cast<std::uint8_t>(Widen(p.blue, nb)),
                                       static_cast<std::uint8_t>(Widen(p.green, ng)),
                                       static_cast<std::uint8_t>(Widen(p.red, nr))});
                out.push_back(Pixel{0, Narrow(c.r, nr), Narrow(c.g, ng), Narrow(c.b, nb), p.other});
            }
        }
    return out;
}

// ---- The kinds --------------------------------------------------------------

std::vector<Rgb> Palette(std::size_t n, std::uint32_t salt) {
    std::vector<Rgb> p;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t h = bmptest::Mix(static_cast<std::uint32_t>(i), 3, salt);
        p.push_back(Rgb{static_cast<std::uint8_t>(h), static_cast<std::uint8_t>(h >> 8),
                        static_cast<std::uint8_t>(h >> 16)});
    }
    if (n > 1) p[0] = Rgb{255, 255, 255}, p[1] = Rgb{1, 171, 184};
    return p;
}

BmpImage Indexed(InfoKind info, std::uint16_t bits, std::size_t entries, std::uint32_t clrUsed,
                 std::uint32_t compression = bmptest::kRGB) {
    BmpImage b;
    b.info = info;
    b.bits = bits;
    b.compression = compression;
    b.palette = Palette(entries, bits);
    b.clrUsed = clrUsed;
    b.width = 13;
    b.height = 4;
    // Runs of a few equal pixels, so run-length data has runs of several lengths.
    b.pixel = [](int x, int y) { return Pixel{bmptest::Mix(x / 3, y, 5), 0, 0, 0, 0}; };
    return b;
}

BmpImage Direct(InfoKind info, std::uint16_t bits, std::uint32_t compression = bmptest::kRGB,
                Masks masks = {}) {
    BmpImage b;
    b.info = info;
    b.bits = bits;
    b.compression = compression;
    b.masks = masks;
    b.width = 7;
    b.height = 3;
    return b;
}

template <typename F>
BmpImage With(BmpImage b, F change) {
    change(b);
    return b;
}

// A damaged or unconvertible variant of a kind.
struct Variant {
    const char* name;
    std::function<void(Bytes&)> mutate;
    LayoutStatus expected;
};

struct KindCase {
    const char* name;
    BmpImage image;
    std::vector<Variant> refused;
};

Variant Truncated(std::size_t cut) {
    return {"truncated", [cut](Bytes& v) { v.resize(v.size() - cut); }, LayoutStatus::NotValid};
}
Variant CutAt(std::size_t at) {
    return {"cut inside the table", [at](Bytes& v) { v.resize(at); }, LayoutStatus::NotValid};
}
Variant Field32(const char* name, std::size_t at, std::uint32_t value, LayoutStatus expected) {
    return {name, [=](Bytes& v) { PutU32(v, at, value); }, expected};
}
Variant Field16(const char* name, std::size_t at, std::uint32_t value, LayoutStatus expected) {
    return {name, [=](Bytes& v) { PutU16(v, at, value); }, expected};
}
// Compression and bit count of an info header (OS/2 2.x or Windows) together.
Variant Coded(const char* name, std::uint32_t compression, std::uint16_t bits,
              LayoutStatus expected) {
    return {name, [=](Bytes& v) { PutU32(v, 30, compression), PutU16(v, 28, bits); }, expected};
}

constexpr auto kNotValid = LayoutStatus::NotValid;
constexpr auto kUnsupported = LayoutStatus::Unsupported;

std::vector<KindCase> Kinds() {
    using namespace bmptest;
    const Masks m565{0xF800, 0x07E0, 0x001F, 0};
    const Masks m4444{0x0F00, 0x00F0, 0x000F, 0xF000};
    const Masks odd16{0x0007, 0x01F8, 0x7E00, 0};  // red 3 bits low, blue 6 bits high
    const Masks m888{0xFF0000, 0xFF00, 0xFF, 0};
    const Masks rgba{0xFF, 0xFF00, 0xFF0000, 0xFF000000};  // red in the first byte
    const Masks m1010102{0x3FF00000, 0xFFC00, 0x3FF, 0xC0000000};
    const Masks m12bit{0xFFF00000, 0xFF000, 0xFFF, 0};  // 12, 8 and 12 bits
    return {
        {"1 bit", Indexed(InfoKind::Info40, 1, 2, 0), {Truncated(3), CutAt(60)}},
        {"2 bits, short table, gap",
         With(Indexed(InfoKind::Info40, 2, 3, 3), [](auto& b) { b.gap = 5; }),
         {Field32("more colours than 2 bits", 46, 5, kNotValid)}},
        {"4 bits top-down",
         With(Indexed(InfoKind::Info40, 4, 16, 0), [](auto& b) { b.topDown = true; }),
         {Truncated(3), Field32("17 colours at 4 bits", 46, 17, kNotValid)}},
        {"8 bits",
         Indexed(InfoKind::Info40, 8, 256, 0),
         {Field32("no room for a table", 10, 54, kNotValid),
          Field32("CMYK", 30, 11, kUnsupported)}},
        {"8 bits, 20 colours, V5 header",
         Indexed(InfoKind::V5_124, 8, 20, 20),
         {Field32("offset inside the header", 10, 100, kNotValid)}},
        {"RLE8",
         Indexed(InfoKind::Info40, 8, 256, 0, kRLE8),
         {Field16("RLE8 at 4 bits", 28, 4, kNotValid), CutAt(100)}},
        {"RLE4",
         Indexed(InfoKind::Info40, 4, 16, 0, kRLE4),
         {Field16("RLE4 at 8 bits", 28, 8, kNotValid)}},
        {"RLE4 top-down, all 16 colours used",
         With(Indexed(InfoKind::Info40, 4, 16, 16, kRLE4), [](auto& b) { b.topDown = true; }),
         {}},
        {"RLE8 top-down",
         With(Indexed(InfoKind::V5_124, 8, 40, 40, kRLE8), [](auto& b) { b.topDown = true; }),
         {}},
        {"RLE8, 9 colours, V4 header",
         Indexed(InfoKind::V4_108, 8, 9, 9, kRLE8),
         {Field32("PNG", 30, 5, kUnsupported), Coded("PNG at 0 bits", 5, 0, kUnsupported),
          Coded("PNG at 3 bits", 5, 3, kNotValid)}},
        {"core 1 bit", Indexed(InfoKind::Core12, 1, 2, 0), {Truncated(4)}},
        {"core 4 bits",
         Indexed(InfoKind::Core12, 4, 16, 0),
         {Field16("core 16 bits", 24, 16, kUnsupported)}},
        {"core 8 bits",
         Indexed(InfoKind::Core12, 8, 256, 0),
         {Field16("core 5 bits", 24, 5, kNotValid)}},
        {"core 24 bits",
         Direct(InfoKind::Core12, 24),
         {Truncated(4), Field16("core 64 bits", 24, 64, kUnsupported)}},
        {"OS/2 16-byte 8 bits", Indexed(InfoKind::OS2Short16, 8, 256, 0), {CutAt(400)}},
        {"OS/2 16-byte 24 bits",
         Direct(InfoKind::OS2Short16, 24),
         {Field16("OS/2 32 bits", 28, 32, kUnsupported)}},
        {"OS/2 64-byte 4 bits", Indexed(InfoKind::OS2Full64, 4, 16, 0), {Truncated(2)}},
        {"OS/2 64-byte 24 bits",
         Direct(InfoKind::OS2Full64, 24),
         {Field32("RLE24", 30, 4, kUnsupported),
          {"RLE24 at 8 bits", [](Bytes& v) { PutU32(v, 30, 4), PutU16(v, 28, 8); }, kNotValid},
          Coded("RLE24 at 0 bits", 4, 0, kNotValid),
          Coded("5 at 0 bits", 5, 0, kNotValid)}},
        {"OS/2 64-byte RLE8",
         Indexed(InfoKind::OS2Full64, 8, 256, 0, kRLE8),
         {Field32("more colours than 8 bits", 46, 257, kNotValid)}},
        {"OS/2 64-byte Huffman 1D",
         Indexed(InfoKind::OS2Full64, 1, 2, 0, kOS2Huffman),
         {Field16("Huffman at 4 bits", 28, 4, kNotValid),
          Field32("top-down", 22, static_cast<std::uint32_t>(-4), kNotValid)}},
        {"24 bits, V5, 3-colour table",
         With(Direct(InfoKind::V5_124, 24),
              [](auto& b) { b.palette = Palette(3, 9), b.clrUsed = 3, b.topDown = true; }),
         {Truncated(4), Field32("JPEG", 30, 4, kUnsupported),
          Coded("JPEG at 0 bits", 4, 0, kUnsupported),
          Coded("0 bits uncompressed", 0, 0, kNotValid), Coded("RLE8 at 0 bits", 1, 0, kNotValid)}},
        {"16 bits 5-5-5",
         Direct(InfoKind::Info40, 16),
         {Truncated(3), Field16("64 bits", 28, 64, kUnsupported)}},
        {"16 bits 5-6-5 after the header",
         Direct(InfoKind::Info40, 16, kBitFields, m565),
         {Field32("masks overlap", 58, 0x0FE0, kNotValid),
          Field32("no room for the masks", 10, 60, kNotValid)}},
        {"16 bits 4-4-4-4 V5",
         Direct(InfoKind::V5_124, 16, kBitFields, m4444),
         {Field32("alpha overlaps red", 66, 0xF800, kNotValid),
          Field32("red past 16 bits", 54, 0xF0000, kNotValid)}},
        {"16 bits odd masks V3",
         Direct(InfoKind::V3_56, 16, kBitFields, odd16),
         {Field32("empty green", 58, 0, kNotValid)}},
        {"32 bits",
         With(Direct(InfoKind::Info40, 32), [](auto& b) { b.topDown = true; }),
         {Truncated(4)}},
        {"32 bits 8-8-8 after the header",
         Direct(InfoKind::Info40, 32, kBitFields, m888),
         {Field32("blue not contiguous", 62, 0xF0F, kNotValid)}},
        {"32 bits alpha bit fields after the header",
         Direct(InfoKind::Info40, 32, kAlphaBitFields, rgba),
         {Field32("alpha overlaps blue", 66, 0x00800000, kNotValid),
          Field16("24 bits with masks", 28, 24, kNotValid)}},
        {"32 bits RGBA V4",
         Direct(InfoKind::V4_108, 32, kBitFields, rgba),
         {Field32("red overlaps green", 54, 0x1FF, kNotValid)}},
        {"32 bits 10-10-10-2 V5",
         Direct(InfoKind::V5_124, 32, kBitFields, m1010102),
         {Truncated(5)}},
        {"32 bits 12-8-12 V2",
         Direct(InfoKind::V2_52, 32, kBitFields, m12bit),
         {Field32("header between 40 and 52 bytes", 14, 44, kUnsupported)}},
        {"32 bits alpha bit fields V2 (no alpha mask)",
         Direct(InfoKind::V2_52, 32, kAlphaBitFields, m888),
         {}},
    };
}

// Every kind, as built and in each of its refused variants: `check` gets
// the variant and its bytes, under a trace that names both.
template <typename Check>
void ForEachKindAndVariant(const Check& check) {
    for (const KindCase& k : Kinds()) {
        std::vector<Variant> variants = k.refused;
        variants.push_back({"as built", [](Bytes&) {}, LayoutStatus::Converted});
        for (const Variant& v : variants) {
            SCOPED_TRACE(std::string(k.name) + ": " + v.name);
            Bytes bytes = k.image.Build().bytes;
            v.mutate(bytes);
            check(v, std::as_const(bytes));
        }
    }
}

TEST(BMPFormats, EveryKindTonesItsColoursAndNothingElse) {
    for (const KindCase& k : Kinds()) {
        SCOPED_TRACE(k.name);
        const bmptest::BuiltBmp built = k.image.Build();
        Bytes out = built.bytes;
        ASSERT_EQ(sorvane::ToneBMPFile(out), LayoutStatus::Converted);

        ASSERT_EQ(out.size(), built.bytes.size());
        for (std::size_t i = 0; i < out.size(); ++i)
            ASSERT_EQ((out[i] ^ built.bytes[i]) & ~built.colourBits[i], 0) << "byte " << i;

        // Table entries, toned, with their reserved byte kept.
        for (std::size_t i = 0; i < k.image.palette.size(); ++i) {
            const std::size_t at = k.image.TableOffset() + i * k.image.EntrySize();
            EXPECT_EQ((Rgb{out[at], out[at + 1], out[at + 2]}), Tone(k.image.palette[i]))
                << "entry " << i;
        }
        const auto decoded = Decode(out);
        if (k.image.Compressed() && !k.image.RunLength()) {
            EXPECT_FALSE(decoded);  // Huffman: only the table can be checked
            continue;
        }
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->width, k.image.width);
        EXPECT_EQ(decoded->height, k.image.height);
        const std::vector<Pixel> expected = ExpectedToned(k.image);
        ASSERT_EQ(decoded->pixels.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const Pixel& a = decoded->pixels[i];
            const Pixel& e = expected[i];
            ASSERT_TRUE(a == e) << "pixel " << i % k.image.width << "," << i / k.image.width
                                << ": got " << a.red << "," << a.green << "," << a.blue << " +"
                                << a.other << " want " << e.red << "," << e.green << "," << e.blue
                                << " +" << e.other;
        }
    }
}

TEST(BMPFormats, DamagedOrUnconvertibleVariantsAreRefusedUntouched) {
    for (const KindCase& k : Kinds()) {
        for (const Variant& v : k.refused) {
            SCOPED_TRACE(std::string(k.name) + ": " + v.name);
            Bytes bytes = k.image.Build().bytes;
            v.mutate(bytes);
            const Bytes before = bytes;
            EXPECT_EQ(sorvane::ToneBMPFile(bytes), v.expected);
            EXPECT_EQ(bytes, before);
            // Streamed, the refusal comes before any output is opened.
            memstream::MemorySource in(bytes);
            std::vector<std::uint8_t> buffer(sorvane::kMinStreamBuffer);
            bool opened = false;
            EXPECT_EQ(
                static_cast<int>(sorvane::ConvertStream(in, bytes.size(), buffer,
                                                        [&] {
                                                            opened = true;
                                                            return nullptr;
                                                        })),
                static_cast<int>(v.expected == kNotValid ? sorvane::StreamStatus::NotValid
                                                         : sorvane::StreamStatus::Unsupported));
            EXPECT_FALSE(opened);
        }
    }
}

// Every value of a narrow channel survives the widen-tone-narrow trip as the
// documented rounding says, for the widths that occur in real files.
TEST(BMPFormats, NarrowChannelsFollowTheRounding) {
    for (const int n : {1, 2, 3, 4, 5, 6, 7, 8, 10, 12, 16}) {
        SCOPED_TRACE(n);
        const std::uint32_t top = (1u << n) - 1;
        // The channel under test is green; red and blue are 8-bit and fixed.
        const Masks m{0xFF000000u, top << 8, 0xFF, 0};
        BmpImage b = Direct(InfoKind::V5_124, 32, bmptest::kBitFields, m);
        b.width = static_cast<int>(std::min<std::uint32_t>(top + 1, 4096));
        b.height = 1;
        b.pixel = [top](int x, int) {
            const std::uint32_t g = top < 4096 ? x : x * (top / 4095);
            return Pixel{0, 200, g, 30, 0};
        };
        Bytes out = b.Build().bytes;
        ASSERT_EQ(sorvane::ToneBMPFile(out), LayoutStatus::Converted);
        const auto d = Decode(out);
        ASSERT_TRUE(d);
        EXPECT_EQ(d->pixels, ExpectedToned(b));
    }
}

// The 5-bit channels of the plain 16-bit form, spot-checked by hand:
// white (31, 31, 31) widens to 255 each, tones to (214, 229, 229) as blue,
// green, red, and narrows to blue 26, green 28, red 28; the top bit stays.
TEST(BMPFormats, White555) {
    BmpImage b = Direct(InfoKind::Info40, 16);
    b.width = 2;
    b.height = 1;
    b.pixel = [](int x, int) { return Pixel{0, 31, 31, 31, x == 0 ? 0x8000u : 0u}; };
    Bytes out = b.Build().bytes;
    ASSERT_EQ(sorvane::ToneBMPFile(out), LayoutStatus::Converted);
    const std::size_t at = b.PixelOffset();
    const std::uint32_t white = 28u << 10 | 28u << 5 | 26u;
    EXPECT_EQ(GetU16(out, at), 0x8000 | white);
    EXPECT_EQ(GetU16(out, at + 2), white);
}

}  // namespace

// Planning from the first kPlanHeadBytes bytes alone (the rest poisoned)
// gives the whole file's answer, for every kind and every damaged variant.
TEST(BMPFormats, PlanFromTheHeadAloneMatchesTheWholeFile) {
    const auto samePlan = [](const sorvane::ColourPlan& a, const sorvane::ColourPlan& b) {
        const auto& p = a.pixels;
        const auto& q = b.pixels;
        return a.table.first == b.table.first && a.table.count == b.table.count &&
               a.table.entrySize == b.table.entrySize && p.coding == q.coding &&
               p.first == q.first && p.stride == q.stride && p.rowPixels == q.rowPixels &&
               p.rows == q.rows && p.masks.red == q.masks.red && p.masks.green == q.masks.green &&
               p.masks.blue == q.masks.blue;
    };
    ForEachKindAndVariant([&](const Variant&, const Bytes& bytes) {
        sorvane::ColourPlan whole, fromHead;
        const LayoutStatus expected = sorvane::PlanColours(bytes, whole);
        Bytes head = bytes;
        for (std::size_t i = sorvane::kPlanHeadBytes; i < head.size(); ++i) head[i] ^= 0xA5;
        EXPECT_EQ(sorvane::PlanColours(head, bytes.size(), fromHead), expected);
        if (expected == LayoutStatus::Converted) {
            EXPECT_TRUE(samePlan(whole, fromHead));
        }
        // Only the head is handed over: nothing past it is needed.
        const std::size_t cut = std::min(head.size(), sorvane::kPlanHeadBytes);
        EXPECT_EQ(sorvane::PlanColours(std::span(head).first(cut), bytes.size(), fromHead),
                  expected);
    });
}

// Toning part by part as a file arrives gives the same bytes as toning it
// whole, whatever the parts: single bytes, sizes that split pixels, rows and
// table entries, and uneven ones.
TEST(BMPFormats, TonedPartByPartMatchesTonedWhole) {
    std::vector<KindCase> kinds = Kinds();
    // 24 bits with rows of a multiple of 4 bytes: one unpadded run of pixels.
    kinds.push_back({"24 bits, no row padding",
                     With(Direct(bmptest::InfoKind::Info40, 24), [](auto& b) { b.width = 8; }),
                     {}});
    for (const KindCase& k : kinds) {
        const Bytes built = k.image.Build().bytes;
        Bytes whole = built;
        ASSERT_EQ(sorvane::ToneBMPFile(whole), LayoutStatus::Converted) << k.name;
        ASSERT_NE(whole, built) << k.name;
        for (const std::size_t part : {1, 2, 3, 4, 5, 7, 13, 64, 257, 100000, 0}) {
            SCOPED_TRACE(std::string(k.name) + ", part " + std::to_string(part));
            Bytes bytes = built;
            sorvane::ColourPlan plan;
            ASSERT_EQ(sorvane::PlanColours(bytes, plan), LayoutStatus::Converted);
            std::uint64_t from = 0, step = 0;
            while (from < bytes.size()) {
                // Part 0: uneven parts of 1, 6, 11, ... bytes.
                const std::uint64_t size = part != 0 ? part : 1 + 5 * (step++ % 9);
                const std::uint64_t to = std::min<std::uint64_t>(bytes.size(), from + size);
                // Bytes not yet arrived must not be looked at or changed.
                const Bytes later(bytes.begin() + static_cast<std::ptrdiff_t>(to), bytes.end());
                sorvane::ToneColoursArrived(bytes, plan, from, to);
                ASSERT_TRUE(std::equal(later.begin(), later.end(),
                                       bytes.begin() + static_cast<std::ptrdiff_t>(to)));
                from = to;
            }
            ASSERT_EQ(bytes, whole);
            // Streamed, whatever the reads return and however small the buffer.
            for (const std::size_t buffer : {sorvane::kMinStreamBuffer, std::size_t{4099}}) {
                memstream::MemorySource in(
                    built, [part](std::size_t i) { return part != 0 ? part : 1 + 5 * (i % 9); });
                memstream::MemorySink out;
                ASSERT_EQ(memstream::Convert(in, built.size(), buffer, &out),
                          sorvane::StreamStatus::Converted);
                ASSERT_EQ(out.bytes, whole);
            }
        }
    }
}

// A push stream fed in chunks of `chunk` bytes (0: random sizes), reused
// after bmpv_stream_reset: its status and everything it gave out.
std::pair<int, Bytes> Streamed(bmpv_stream* s, const Bytes& in, std::size_t chunk,
                               std::mt19937& random) {
    bmpv_stream_reset(s);
    Bytes all, out;
    int status = BMPV_OK;
    std::size_t got = 0;
    for (std::size_t at = 0; at < in.size() && status == BMPV_OK; at += got) {
        got = std::min(in.size() - at, chunk != 0 ? chunk : 1 + random() % in.size());
        out.assign(got + BMPV_STREAM_SLACK, 0);
        std::size_t n = 0;
        status = bmpv_stream_push(s, in.data() + at, got, out.data(), out.size(), &n);
        all.insert(all.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
    }
    std::size_t n = 0;
    out.assign(BMPV_STREAM_SLACK, 0);
    if (status == BMPV_OK) status = bmpv_stream_finish(s, out.data(), out.size(), &n);
    all.insert(all.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
    return {status, all};
}

// Every call of the core library on every kind and each refused variant
// gives the file call's status and bytes; a refusal writes nothing, and a
// stream cut short says so.
TEST(BMPFormats, EveryCoreCallGivesTheFileCallsBytes) {
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::temp_directory_path() / ("sorvane-kinds-" + std::to_string(std::random_device()()));
    ASSERT_TRUE(fs::create_directory(dir));
    const std::string in = (dir / "in.bmp").string(), out = (dir / "out.bmp").string();
    bmpv_stream* stream = nullptr;
    ASSERT_EQ(bmpv_stream_new(&stream), BMPV_OK);
    std::mt19937 random(25);
    ForEachKindAndVariant([&](const Variant& v, const Bytes& bytes) {
        testfiles::WriteAll(in, bytes);
        const int status = bmpv_tone_file(in.c_str(), out.c_str(), 0, nullptr);
        ASSERT_EQ(status, static_cast<int>(v.expected));  // 0, 1 or 2 alike
        const Bytes expected = status == BMPV_OK ? testfiles::ReadAll(out) : bytes;

        Bytes apart(bytes.size(), 0xEE), inPlace = bytes;
        EXPECT_EQ(bmpv_tone_buffer(bytes.data(), apart.data(), bytes.size()), status);
        EXPECT_EQ(apart, status == BMPV_OK ? expected : Bytes(bytes.size(), 0xEE));
        EXPECT_EQ(bmpv_tone_buffer(inPlace.data(), inPlace.data(), bytes.size()), status);
        EXPECT_EQ(inPlace, expected);

        // The headers describe more than arrived: cut short, unless too
        // short for the headers themselves.
        const bool cut =
            (v.name == std::string("truncated") || v.name == std::string("cut inside the table")) &&
            bytes.size() >= sorvane::kPlanHeadBytes;
        for (const std::size_t chunk : {1, 3, 7, 4096, 65536, 0, 0}) {
            const auto [streamed, given] = Streamed(stream, bytes, chunk, random);
            EXPECT_EQ(streamed, cut ? BMPV_E_TRUNCATED : status) << chunk;
            if (status == BMPV_OK) {
                EXPECT_EQ(given, expected) << chunk;
            }
        }

        // Callbacks, with reads of uneven sizes.
        struct Io {
            const Bytes& in;
            std::size_t at = 0, reads = 0;
            Bytes out;
        } io{bytes, 0, 0, {}};
        const auto read = [](void* user, void* buf, std::size_t cap) -> std::ptrdiff_t {
            Io& io = *static_cast<Io*>(user);
            const std::size_t n = std::min({cap, io.in.size() - io.at, 1 + io.reads++ % 11});
            std::memcpy(buf, io.in.data() + io.at, n);
            io.at += n;
            return static_cast<std::ptrdiff_t>(n);
        };
        const auto write = [](void* user, const void* buf, std::size_t len) {
            const auto* b = static_cast<const std::uint8_t*>(buf);
            static_cast<Io*>(user)->out.insert(static_cast<Io*>(user)->out.end(), b, b + len);
            return 0;
        };
        EXPECT_EQ(bmpv_tone_io(read, &io, write, &io), cut ? BMPV_E_TRUNCATED : status);
        if (status == BMPV_OK) {
            EXPECT_EQ(io.out, expected);
        }
    });
    bmpv_stream_free(stream);
    fs::remove_all(dir);
}

// Every kind and each of its refused variants as files, in the folder that
// SORVANE_WRITE_KINDS names, so that another build of the tone (the
// WebAssembly package) can be run on the same inputs as the program.
TEST(BMPFormats, WriteEveryKindWhenAsked) {
    const char* dir = std::getenv("SORVANE_WRITE_KINDS");
    if (dir == nullptr) GTEST_SKIP() << "SORVANE_WRITE_KINDS is not set";
    int n = 0;
    const auto write = [&](const Bytes& bytes) {
        std::ofstream f(std::string(dir) + "/kind-" + std::to_string(n++) + ".bmp",
                        std::ios::binary);
        f.write(reinterpret_cast<const char*>(bytes.data()),
                static_cast<std::streamsize>(bytes.size()));
        ASSERT_TRUE(f.good());
    };
    for (const KindCase& k : Kinds()) {
        const Bytes built = k.image.Build().bytes;
        write(built);
        for (const Variant& v : k.refused) {
            Bytes bytes = built;
            v.mutate(bytes);
            write(bytes);
        }
    }
}
