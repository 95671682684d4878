#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "BmpBuilder.h"
#include "MemoryStream.h"
#include "convert/BMPColourPlan.h"
#include "convert/BMPLayout.h"
#include "tone/VintageTone.h"

namespace {

using bmptest::Bmp24;
using bmptest::PutU16;
using bmptest::PutU32;
using sorvane::LayoutStatus;

// Checks that `after` is `before` with exactly the pixels of `bmp` toned.
void ExpectOnlyPixelsToned(const Bmp24& bmp, const std::vector<std::uint8_t>& before,
                           const std::vector<std::uint8_t>& after) {
    ASSERT_EQ(before.size(), after.size());
    std::vector<bool> isPixel(before.size(), false);
    for (int y = 0; y < bmp.height; ++y)
        for (int x = 0; x < bmp.width; ++x) {
            const std::size_t at = bmp.At(x, y);
            std::uint8_t p[3] = {before[at], before[at + 1], before[at + 2]};
            sorvane::ToneOnePixel(p);
            for (int i = 0; i < 3; ++i) {
                isPixel[at + i] = true;
                ASSERT_EQ(after[at + i], p[i]) << "pixel " << x << "," << y;
            }
        }
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (!isPixel[i]) {
            ASSERT_EQ(after[i], before[i]) << "non-colour byte " << i << " changed";
        }
    }
}

struct LayoutCase {
    const char* name;
    Bmp24 bmp;
};

using bmptest::MakeBmp24;

TEST(BMPLayout, TonesColoursAndKeepsEverythingElse) {
    const LayoutCase cases[] = {
        {"4x2 unpadded", MakeBmp24(4, 2)},
        {"4x1", MakeBmp24(4, 1)},
        {"width 1 (1 padding byte)", MakeBmp24(1, 3)},
        {"width 2 (2 padding bytes)", MakeBmp24(2, 3)},
        {"width 3 (3 padding bytes)", MakeBmp24(3, 5)},
        {"width 5", MakeBmp24(5, 4)},
        {"top-down padded", MakeBmp24(7, 3, true)},
        {"top-down unpadded", MakeBmp24(8, 2, true)},
        {"V3 52-byte header", MakeBmp24(3, 2, false, 52)},
        {"V3 56-byte header", MakeBmp24(3, 2, false, 56)},
        {"V4 108-byte header", MakeBmp24(5, 2, false, 108)},
        {"V5 124-byte header", MakeBmp24(6, 3, true, 124)},
        {"gap before pixels", MakeBmp24(3, 3, false, 40, 17)},
        {"trailing bytes", MakeBmp24(5, 2, false, 40, 0, 9)},
        {"width 0", MakeBmp24(0, 3)},
        {"height 0", MakeBmp24(3, 0)},
        {"wide row", MakeBmp24(1001, 2)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto before = c.bmp.Build();
        auto after = before;
        ASSERT_EQ(sorvane::ToneBMPFile(after), LayoutStatus::Converted);
        ExpectOnlyPixelsToned(c.bmp, before, after);
    }
}

TEST(BMPLayout, LastRowPaddingMayBeMissing) {
    const Bmp24 bmp = MakeBmp24(5, 3);  // 15 bytes a row, 1 padding byte
    auto before = bmp.Build();
    before.pop_back();
    auto after = before;
    ASSERT_EQ(sorvane::ToneBMPFile(after), LayoutStatus::Converted);
    auto full = bmp.Build();
    ASSERT_EQ(sorvane::ToneBMPFile(full), LayoutStatus::Converted);
    EXPECT_TRUE(std::equal(after.begin(), after.end(), full.begin()));
}

// A file mutated after building, and the refusal expected of it.
struct RefusalCase {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&)> mutate;
    LayoutStatus expected;
};

TEST(BMPLayout, RefusesAndLeavesBytesUntouched) {
    const RefusalCase cases[] = {
        {"empty", [](auto& v) { v.clear(); }, LayoutStatus::NotValid},
        {"one byte", [](auto& v) { v.resize(1); }, LayoutStatus::NotValid},
        {"not BM", [](auto& v) { v[1] = 'A'; }, LayoutStatus::NotValid},
        {"zip signature", [](auto& v) { v[0] = 'P', v[1] = 'K'; }, LayoutStatus::NotValid},
        {"shorter than the headers", [](auto& v) { v.resize(53); }, LayoutStatus::NotValid},
        {"ends inside biSize", [](auto& v) { v.resize(16); }, LayoutStatus::NotValid},
        {"info size 0", [](auto& v) { PutU32(v, 14, 0); }, LayoutStatus::NotValid},
        {"info size 39", [](auto& v) { PutU32(v, 14, 39); }, LayoutStatus::NotValid},
        {"info size past end", [](auto& v) { PutU32(v, 14, 0xFFFFFFF0u); }, LayoutStatus::NotValid},
        // The 24-bit header bytes read as a core header: 4 x 0 pixels of 0 bits.
        {"core header over 24-bit fields", [](auto& v) { PutU32(v, 14, 12); },
         LayoutStatus::NotValid},
        {"offset inside headers", [](auto& v) { PutU32(v, 10, 53); }, LayoutStatus::NotValid},
        {"offset zero", [](auto& v) { PutU32(v, 10, 0); }, LayoutStatus::NotValid},
        {"offset past end",
         [](auto& v) { PutU32(v, 10, static_cast<std::uint32_t>(v.size() + 1)); },
         LayoutStatus::NotValid},
        {"offset huge", [](auto& v) { PutU32(v, 10, 0xFFFFFFFFu); }, LayoutStatus::NotValid},
        {"negative width", [](auto& v) { PutU32(v, 18, static_cast<std::uint32_t>(-4)); },
         LayoutStatus::NotValid},
        {"height INT32_MIN", [](auto& v) { PutU32(v, 22, 0x80000000u); }, LayoutStatus::NotValid},
        {"rows past end", [](auto& v) { v.pop_back(); }, LayoutStatus::NotValid},
        {"taller than the file", [](auto& v) { PutU32(v, 22, 3); }, LayoutStatus::NotValid},
        {"100000 x 100000", [](auto& v) { PutU32(v, 18, 100000), PutU32(v, 22, 100000); },
         LayoutStatus::NotValid},
        {"max width and height",
         [](auto& v) { PutU32(v, 18, 0x7FFFFFFF), PutU32(v, 22, 0x7FFFFFFF); },
         LayoutStatus::NotValid},
        {"max width top-down",
         [](auto& v) { PutU32(v, 18, 0x7FFFFFFF), PutU32(v, 22, 0x80000001u); },
         LayoutStatus::NotValid},
        // Kinds that convert when well formed (see KindsOnceRefusedNowConvert),
        // refused here for what the mutation broke.
        {"8 bits without a colour table", [](auto& v) { PutU16(v, 28, 8); },
         LayoutStatus::NotValid},
        {"32 bits, rows past the end", [](auto& v) { PutU16(v, 28, 32); }, LayoutStatus::NotValid},
        {"RLE8 at 24 bits", [](auto& v) { PutU32(v, 30, 1); }, LayoutStatus::NotValid},
        {"JPEG", [](auto& v) { PutU32(v, 30, 4); }, LayoutStatus::Unsupported},
        {"PNG", [](auto& v) { PutU32(v, 30, 5); }, LayoutStatus::Unsupported},
        {"64 bits", [](auto& v) { PutU16(v, 28, 64); }, LayoutStatus::Unsupported},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto bytes = MakeBmp24(4, 2).Build();
        c.mutate(bytes);
        const auto before = bytes;
        EXPECT_EQ(sorvane::ToneBMPFile(bytes), c.expected);
        EXPECT_EQ(bytes, before);
    }
}

// The kinds the first version refused now convert: each stored colour is
// toned (4-byte table entries keep their fourth byte, 32-bit pixels too).
TEST(BMPLayout, KindsOnceRefusedNowConvert) {
    using bmptest::BmpImage;
    using bmptest::InfoKind;
    const auto indexed = [](InfoKind info, std::uint32_t compression) {
        BmpImage b;
        b.info = info;
        b.bits = 8;
        b.compression = compression;
        for (int i = 0; i < 256; ++i)
            b.palette.push_back(bmptest::Rgb{static_cast<std::uint8_t>(i),
                                             static_cast<std::uint8_t>(255 - i),
                                             static_cast<std::uint8_t>(i * 7)});
        return b;
    };
    BmpImage thirtyTwo;
    thirtyTwo.bits = 32;
    const struct {
        const char* name;
        BmpImage image;
    } cases[] = {
        {"8 bits", indexed(InfoKind::Info40, bmptest::kRGB)},
        {"RLE8", indexed(InfoKind::Info40, bmptest::kRLE8)},
        {"core header", indexed(InfoKind::Core12, bmptest::kRGB)},
        {"32 bits", thirtyTwo},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto built = c.image.Build();
        auto after = built.bytes;
        ASSERT_EQ(sorvane::ToneBMPFile(after), LayoutStatus::Converted);
        // Colours sit in groups of three bytes: a table entry or a pixel.
        std::size_t colours = 0;
        for (std::size_t i = 0; i < after.size(); ++i) {
            if (built.colourBits[i] == 0) {
                ASSERT_EQ(after[i], built.bytes[i]) << "byte " << i;
            } else if (i == 0 || built.colourBits[i - 1] == 0 || colours % 3 == 0) {
                std::uint8_t p[3] = {built.bytes[i], built.bytes[i + 1], built.bytes[i + 2]};
                sorvane::ToneOnePixel(p);
                for (int k = 0; k < 3; ++k) ASSERT_EQ(after[i + k], p[k]) << "byte " << i + k;
                colours = 0;
            }
            if (built.colourBits[i] != 0) ++colours;
        }
    }
}

// Streamed: a failure anywhere after the checks fails the whole conversion,
// and one inside the head comes before the output is opened.
TEST(ConvertStream, FailuresAnywhereFailTheConversion) {
    using sorvane::StreamStatus;
    const auto file = MakeBmp24(37, 5, false, 40, 0, 5).Build();  // padded, trailing bytes
    const auto toned = [&] {
        auto t = file;
        sorvane::ToneBMPFile(t);
        return t;
    }();
    const auto run = [&](std::size_t at, int fault, bool& opened) {
        const bool shrink = fault == 1;
        memstream::MemorySource in(
            std::span<const std::uint8_t>(file).first(shrink ? at : file.size()),
            [](std::size_t i) { return 5 + i % 50; });
        memstream::MemorySink out;
        if (fault == 0) in.failAt = static_cast<long long>(at);
        if (fault == 2) out.failAt = static_cast<long long>(at);
        in.changed = fault == 3 && at == 0;
        std::vector<std::uint8_t> buffer(sorvane::kMinStreamBuffer);
        const StreamStatus status = sorvane::ConvertStream(in, file.size(), buffer, [&] {
            opened = true;
            return &out;
        });
        if (status == StreamStatus::Converted) {
            EXPECT_EQ(out.bytes, toned);
        }
        return status;
    };
    for (std::size_t at = 0; at <= file.size(); ++at) {
        SCOPED_TRACE(at);
        const bool failed = at < file.size();
        const bool inHead = at < sorvane::kPlanHeadBytes;
        bool opened = false;
        // A read error at `at`.
        EXPECT_EQ(run(at, 0, opened), failed ? StreamStatus::ReadFailed : StreamStatus::Converted);
        EXPECT_EQ(opened, !inHead);
        // The input ends at `at`, before the size it was opened with.
        opened = false;
        EXPECT_EQ(run(at, 1, opened), !failed  ? StreamStatus::Converted
                                      : at < 2 ? StreamStatus::NotValid
                                               : StreamStatus::ReadFailed);
        EXPECT_EQ(opened, !inHead);
        // A write error at `at`.
        EXPECT_EQ(run(at, 2, opened), failed ? StreamStatus::WriteFailed : StreamStatus::Converted);
        // The input reports a change once read.
        EXPECT_EQ(run(at, 3, opened), at == 0 ? StreamStatus::ReadFailed : StreamStatus::Converted);
    }
}

// Offsets are 64-bit everywhere: an 8-bit image of more than 4 GiB whose
// pixels are passed through by the sink (here without moving them).
TEST(ConvertStream, ImagesPast4GiB) {
    std::vector<std::uint8_t> head(54 + 1024, 0);
    head[0] = 'B', head[1] = 'M';
    PutU32(head, 10, 54 + 1024);
    PutU32(head, 14, 40);
    PutU32(head, 18, 65536);
    PutU32(head, 22, 65537);
    PutU16(head, 26, 1);
    PutU16(head, 28, 8);
    for (std::size_t i = 54; i < head.size(); ++i) head[i] = static_cast<std::uint8_t>(i * 7);
    const std::uint64_t size = head.size() + std::uint64_t{65536} * 65537;
    struct Sink final : sorvane::ByteSink {
        std::vector<std::uint8_t> written;
        std::uint64_t passed = 0;
        bool Write(std::span<const std::uint8_t> b) override {
            written.insert(written.end(), b.begin(), b.end());
            return true;
        }
        sorvane::PassThrough CopyFrom(sorvane::ByteSource&, std::uint64_t n) override {
            passed = n;
            return sorvane::PassThrough::Done;
        }
    } out;
    memstream::MemorySource in(head);
    EXPECT_EQ(memstream::Convert(in, size, sorvane::kStreamPart, &out),
              sorvane::StreamStatus::Converted);
    EXPECT_EQ(out.passed, size - head.size());
    ASSERT_EQ(out.written.size(), head.size());
    for (std::size_t at = 54; at < head.size(); at += 4) {
        std::uint8_t entry[3] = {head[at], head[at + 1], head[at + 2]};
        sorvane::ToneOnePixel(entry);
        ASSERT_TRUE(std::equal(entry, entry + 3, out.written.begin() + at)) << at;
    }
}

TEST(BMPLayout, RefusalLines) {
    EXPECT_EQ(sorvane::LayoutStatusLine(LayoutStatus::NotValid), "Not a valid BMP file");
    EXPECT_EQ(sorvane::LayoutStatusLine(LayoutStatus::Unsupported), "Unsupported BMP file");
}

}  // namespace
