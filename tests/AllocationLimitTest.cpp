// No header value can make a conversion allocate more than the file's own
// size plus a little, or work longer than the file's size allows: small files
// claiming huge dimensions, tables and offsets are refused at once, having
// allocated nothing beyond the file itself.
//
// This executable replaces the global operator new to count the bytes
// requested on the calling thread (the library allocates nothing else).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <new>

#include "BmpBuilder.h"
#include "HardeningSupport.h"
#include "convert/BMPLayout.h"

namespace {

thread_local bool counting = false;
thread_local std::size_t requested = 0;

void* Allocate(std::size_t n, std::size_t align = 0) {
    if (counting) requested += n;
    if (n == 0) n = 1;
    if (align > alignof(std::max_align_t))
        return std::aligned_alloc(align, (n + align - 1) / align * align);
    return std::malloc(n);
}

}  // namespace

#define SORVANE_EXPORT __attribute__((visibility("default")))
SORVANE_EXPORT void* operator new(std::size_t n) {
    if (void* p = Allocate(n)) return p;
    throw std::bad_alloc();
}
SORVANE_EXPORT void* operator new[](std::size_t n) {
    return operator new(n);
}
SORVANE_EXPORT void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return Allocate(n);
}
SORVANE_EXPORT void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return Allocate(n);
}
SORVANE_EXPORT void* operator new(std::size_t n, std::align_val_t a) {
    if (void* p = Allocate(n, static_cast<std::size_t>(a))) return p;
    throw std::bad_alloc();
}
SORVANE_EXPORT void* operator new[](std::size_t n, std::align_val_t a) {
    return operator new(n, a);
}
SORVANE_EXPORT void operator delete(void* p) noexcept {
    std::free(p);
}
SORVANE_EXPORT void operator delete[](void* p) noexcept {
    std::free(p);
}
SORVANE_EXPORT void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
SORVANE_EXPORT void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
SORVANE_EXPORT void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
SORVANE_EXPORT void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
SORVANE_EXPORT void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
SORVANE_EXPORT void operator delete[](void* p, std::align_val_t) noexcept {
    std::free(p);
}
SORVANE_EXPORT void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
SORVANE_EXPORT void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}

namespace {

using namespace hardening;
using bmptest::PutU16;
using bmptest::PutU32;

// Room for the call's own small needs (paths, names of temporary files).
constexpr std::size_t kSlack = 64 * 1024;

struct Counted {
    int result;
    std::string line;
    std::size_t requested;
};

// BMPVintage on this thread, counting what it asks the heap for, with its
// standard error captured.
Counted ConvertCounting(const fs::path& in, const fs::path& out) {
    const std::u16string a = U16(in), b = U16(out);
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return {-1, "", 0};
    std::fflush(stderr);
    const int saved = ::dup(2);
    ::dup2(pipeFds[1], 2);
    requested = 0;
    counting = true;
    const int result = BMPVintage(a.c_str(), b.c_str());
    counting = false;
    ::dup2(saved, 2);
    ::close(saved);
    ::close(pipeFds[1]);
    std::string line;
    char buf[256];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buf, sizeof buf)) > 0)
        line.append(buf, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    return {result, line, requested};
}

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

        // The layout alone allocates nothing at all.
        Bytes copy = file;
        requested = 0;
        counting = true;
        const sorvane::LayoutStatus status = sorvane::ToneBMPFile(copy);
        counting = false;
        EXPECT_EQ(requested, 0u);

        TempDir dir;
        WriteAll(dir / "in.bmp", file);
        const Counted o = ConvertCounting(dir / "in.bmp", dir / "out.bmp");
        EXPECT_LE(o.requested, file.size() + kSlack);
        EXPECT_EQ(o.result == 0, status == sorvane::LayoutStatus::Converted);
        switch (c.expect) {
            case Expect::NotValid:
                EXPECT_EQ(o.result, 1);
                EXPECT_EQ(o.line, "Not a valid BMP file\n");
                break;
            case Expect::Refused:
                EXPECT_EQ(o.result, 1);
                EXPECT_TRUE(o.line == "Not a valid BMP file\n" ||
                            o.line == "Unsupported BMP file\n")
                    << o.line;
                break;
            case Expect::Either:
                EXPECT_TRUE(o.result == 0 ? o.line.empty()
                                          : (o.line == "Not a valid BMP file\n" ||
                                             o.line == "Unsupported BMP file\n"))
                    << o.line;
                break;
        }
        if (o.result != 0) {
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

// The counter sees the library's allocations: a good file costs its size.
TEST(AllocationLimit, CounterSeesTheFileBuffer) {
    bmptest::Bmp24 image;
    image.width = 200;
    image.height = 100;
    const Bytes file = image.Build();
    TempDir dir;
    WriteAll(dir / "in.bmp", file);
    const Counted o = ConvertCounting(dir / "in.bmp", dir / "out.bmp");
    EXPECT_EQ(o.result, 0);
    EXPECT_GE(o.requested, file.size());
    EXPECT_LE(o.requested, file.size() + kSlack);
}

}  // namespace
