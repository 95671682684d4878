// No header value can make a conversion allocate more than the file's own
// size plus a little, or work longer than the file's size allows: small files
// claiming huge dimensions, tables and offsets are refused at once.
//
// Each conversion runs in a child whose address space may grow by no more
// than the file's size plus kSlack (RLIMIT_AS). Whatever way the library
// takes memory (operator new, malloc, aligned or mapped buffers), a request
// sized from a header's claims fails there, and the call would say "Not
// enough memory" instead of refusing the file.
#include <gtest/gtest.h>

#include "BmpBuilder.h"
#include "HardeningSupport.h"
#include "convert/BMPLayout.h"

namespace {

using namespace hardening;
using bmptest::PutU16;
using bmptest::PutU32;

// Room for the call's own needs beyond the file: path strings, the name of
// the temporary file, the alignment of a large buffer, the allocator's books.
constexpr std::size_t kSlack = 16u << 20;

enum class Expect {
    NotValid,  // "Not a valid BMP file"
    Refused,   // some refusal of the file (not valid, or not supported)
    Either,    // converted or refused: only the bounds are in question
};

struct Claim {
    const char* name;
    std::function<void(Bytes&)> edit;
    Expect expect;
};

// Edits of a valid 4 x 4, 24-bit file (102 bytes).
const Claim kClaims[] = {
    {"2^31-1 x 2^31-1", [](Bytes& b) { PutU32(b, 18, 0x7FFFFFFF), PutU32(b, 22, 0x7FFFFFFF); },
     Expect::NotValid},
    {"1 x 2^31-1", [](Bytes& b) { PutU32(b, 18, 1), PutU32(b, 22, 0x7FFFFFFF); }, Expect::NotValid},
    {"2^31-1 x 1", [](Bytes& b) { PutU32(b, 18, 0x7FFFFFFF), PutU32(b, 22, 1); }, Expect::NotValid},
    {"width x 3 wraps 32 bits to 2", [](Bytes& b) { PutU32(b, 18, 0x55555556), PutU32(b, 22, 1); },
     Expect::NotValid},
    {"width x height wraps 32 bits to 0",
     [](Bytes& b) { PutU32(b, 18, 0x10000), PutU32(b, 22, 0x10000); }, Expect::NotValid},
    {"top-down 1 x -(2^31-1)", [](Bytes& b) { PutU32(b, 18, 1), PutU32(b, 22, 0x80000001u); },
     Expect::NotValid},
    {"height -2^31", [](Bytes& b) { PutU32(b, 22, 0x80000000u); }, Expect::NotValid},
    {"negative width", [](Bytes& b) { PutU32(b, 18, 0xFFFFFFFFu); }, Expect::NotValid},
    {"info header 2^32-1 bytes", [](Bytes& b) { PutU32(b, 14, 0xFFFFFFFFu); }, Expect::NotValid},
    {"info header wraps 32 bits", [](Bytes& b) { PutU32(b, 14, 0xFFFFFFF2u); }, Expect::NotValid},
    {"pixels at 2^32-1", [](Bytes& b) { PutU32(b, 10, 0xFFFFFFFFu); }, Expect::NotValid},
    {"pixels inside the headers", [](Bytes& b) { PutU32(b, 10, 20); }, Expect::NotValid},
    {"bfSize and biSizeImage 2^32-1",
     [](Bytes& b) { PutU32(b, 2, 0xFFFFFFFFu), PutU32(b, 34, 0xFFFFFFFFu); }, Expect::Either},
    {"empty width, height 2^31-1", [](Bytes& b) { PutU32(b, 18, 0), PutU32(b, 22, 0x7FFFFFFF); },
     Expect::Either},
    {"8-bit, 2^32-1 colours", [](Bytes& b) { PutU16(b, 28, 8), PutU32(b, 46, 0xFFFFFFFFu); },
     Expect::Refused},
    {"8-bit, 2^31-1 x 2^31-1",
     [](Bytes& b) { PutU16(b, 28, 8), PutU32(b, 18, 0x7FFFFFFF), PutU32(b, 22, 0x7FFFFFFF); },
     Expect::Refused},
    {"1-bit, 2^31-1 wide", [](Bytes& b) { PutU16(b, 28, 1), PutU32(b, 18, 0x7FFFFFFF); },
     Expect::Refused},
    {"32-bit, 2^31-1 x 2^31-1",
     [](Bytes& b) { PutU16(b, 28, 32), PutU32(b, 18, 0x7FFFFFFF), PutU32(b, 22, 0x7FFFFFFF); },
     Expect::Refused},
    {"16-bit bit fields, masks past the end",
     [](Bytes& b) { PutU16(b, 28, 16), PutU32(b, 30, 3), PutU32(b, 10, 102), b.resize(54); },
     Expect::Refused},
    {"RLE8, 2^31-1 x 2^31-1",
     [](Bytes& b) {
         PutU16(b, 28, 8), PutU32(b, 30, 1), PutU32(b, 18, 0x7FFFFFFF), PutU32(b, 22, 0x7FFFFFFF);
     },
     Expect::Either},
    {"RLE4, 2^31-1 x 2^31-1",
     [](Bytes& b) {
         PutU16(b, 28, 4), PutU32(b, 30, 2), PutU32(b, 18, 0x7FFFFFFF), PutU32(b, 22, 0x7FFFFFFF);
     },
     Expect::Either},
    {"V5 header, profile at 2^32-1",
     [](Bytes& b) {
         b.insert(b.begin() + 54, 84, 0);
         PutU32(b, 14, 124), PutU32(b, 10, 138), PutU32(b, 14 + 112, 0xFFFFFFFFu),
             PutU32(b, 14 + 116, 0xFFFFFFFFu);
     },
     Expect::Either},
};

void CheckClaims(std::size_t trailing) {
    for (const Claim& c : kClaims) {
        SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(trailing) + " trailing bytes");
        bmptest::Bmp24 base;
        base.width = 4;
        base.height = 4;
        base.trailing = static_cast<std::uint32_t>(trailing);
        Bytes file = base.Build();
        c.edit(file);

        // The layout alone needs no memory at all.
        Bytes copy = file;
        const sorvane::LayoutStatus status = sorvane::ToneBMPFile(copy);
        const ChildOutcome layout = RunInChild([&] {
            Bytes again = file;
            CapGrowth(1u << 20);
            return static_cast<int>(sorvane::ToneBMPFile(again));
        });
        EXPECT_EQ(layout.exitCode, static_cast<int>(status));

        TempDir dir;
        WriteAll(dir / "in.bmp", file);
        const ChildOutcome o = ConvertInChild(dir / "in.bmp", dir / "out.bmp",
                                              [&] { CapGrowth(file.size() + kSlack); });
        EXPECT_EQ(o.exitCode == 0, status == sorvane::LayoutStatus::Converted) << o.stderrText;
        switch (c.expect) {
            case Expect::NotValid:
                EXPECT_EQ(o.exitCode, 1);
                EXPECT_EQ(o.stderrText, "Not a valid BMP file\n");
                break;
            case Expect::Refused:
                EXPECT_EQ(o.exitCode, 1);
                EXPECT_TRUE(o.stderrText == "Not a valid BMP file\n" ||
                            o.stderrText == "Unsupported BMP file\n")
                    << o.stderrText;
                break;
            case Expect::Either:
                EXPECT_TRUE(o.exitCode == 0 ? o.stderrText.empty()
                                            : (o.stderrText == "Not a valid BMP file\n" ||
                                               o.stderrText == "Unsupported BMP file\n"))
                    << o.stderrText;
                break;
        }
        if (o.exitCode != 0) {
            EXPECT_FALSE(fs::exists(dir / "out.bmp"));
        }
    }
}

TEST(AllocationLimit, HugeClaimsInSmallFiles) {
    CheckClaims(0);
}

TEST(AllocationLimit, HugeClaimsInAMegabyteFile) {
    CheckClaims(1 << 20);
}

// The cap leaves room for a real conversion: a valid file of 20 MiB converts
// under it. (FaultInjection.FailedAllocationWritesNothing shows that a cap
// below the file's size makes the call fail.)
TEST(AllocationLimit, CapLeavesRoomForAValidFile) {
    TempDir dir;
    bmptest::Bmp24 shape;
    shape.width = 2048;
    shape.height = 0;
    Bytes header = shape.Build();
    const std::uint32_t height = 3414;  // 2048 x 3 x 3414 = 20,975,616 pixel bytes
    const std::uint32_t pixels = 2048u * 3u * height;
    PutU32(header, 2, 54 + pixels);
    PutU32(header, 22, height);
    PutU32(header, 34, pixels);
    WriteAll(dir / "in.bmp", header);
    fs::resize_file(dir / "in.bmp", 54 + pixels);  // sparse: zero pixels
    const std::size_t size = 54 + pixels;
    const ChildOutcome o =
        ConvertInChild(dir / "in.bmp", dir / "out.bmp", [&] { CapGrowth(size + kSlack); });
    EXPECT_EQ(o.exitCode, 0) << o.stderrText;
    EXPECT_EQ(fs::file_size(dir / "out.bmp"), size);
}

}  // namespace
