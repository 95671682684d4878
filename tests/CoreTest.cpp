// The core library's C calls beyond the kinds of BMP (FormatsTest): statuses,
// refused arguments, no-clobber outputs, pixel layouts, and threads. POSIX.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "BmpBuilder.h"
#include "HardeningSupport.h"
#include "convert/ConvertFile.h"
#include "module/bmpv.h"

namespace {

using namespace hardening;

Bytes Image(int i = 0) {
    bmptest::Bmp24 b;
    b.width = 61 + 17 * i;
    b.height = 40 + 9 * i;
    b.gap = static_cast<std::uint32_t>(i * 5);
    return b.Build();
}

Bytes Toned(const Bytes& in) {
    Bytes out(in.size());
    EXPECT_EQ(bmpv_tone_buffer(in.data(), out.data(), in.size()), BMPV_OK);
    return out;
}

// The statuses' names are the JavaScript package's codes; the first lines
// are the module's.
TEST(Core, EachStatusHasItsNameAndLine) {
    std::string names, lines;
    for (const int status : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 100, 11}) {
        names += std::string(bmpv_status_name(status)) + ",";
        lines += std::string(bmpv_strerror(status)) + ",";
    }
    EXPECT_EQ(names,
              "OK,ERR_BMP_NOT_VALID,ERR_BMP_UNSUPPORTED,ERR_BMP_READ_FAILED,"
              "ERR_BMP_OPEN_OUTPUT_FAILED,ERR_BMP_WRITE_FAILED,ERR_BMP_OPEN_INPUT_FAILED,"
              "ERR_BMP_TRUNCATED,ERR_BMP_OUTPUT_EXISTS,ERR_BMP_INVALID_ARGUMENT,"
              "ERR_BMP_STREAM_FINISHED,"
              "ERR_BMP_NO_MEMORY,ERR_BMP_UNKNOWN,");
    EXPECT_EQ(lines,
              "Success,Not a valid BMP file,Unsupported BMP file,Error reading input file,"
              "Error opening output file,Error writing output file,Error opening input file,"
              "BMP file cut short,Output file exists,Invalid argument,Stream already finished,"
              "Not enough memory,Unknown status,");
    EXPECT_EQ(bmpv_version(), BMPV_VERSION_NUMBER);
    EXPECT_STREQ(bmpv_version_string(), BMPV_VERSION_STRING);
}

// Every status a call can give, with the system's error where there is one,
// and nothing written to standard error all along.
TEST(Core, EachFailureHasItsStatusAndStandardErrorStaysEmpty) {
    TempDir dir;
    const Bytes image = Image();
    const std::string in = (dir / "in.bmp").string(), out = (dir / "out.bmp").string();
    const std::string link = (dir / "link.bmp").string();
    WriteAll(in, image);
    ASSERT_EQ(::symlink("nowhere.bmp", link.c_str()), 0);
    Bytes unsupported = image;
    bmptest::PutU16(unsupported, 28, 64);
    Bytes buf(image.size() + 512, 0), outBuf(image.size() + 512);
    std::size_t n = 0;
    bmpv_stream* s = nullptr;
    ASSERT_EQ(bmpv_stream_new(&s), BMPV_OK);
    const auto file = [](const std::string& a, const std::string& b, unsigned flags,
                         int expectedError) {
        int error = -1;
        const int status = bmpv_tone_file(a.c_str(), b.c_str(), flags, &error);
        EXPECT_EQ(error, expectedError) << a << " " << b;
        return status;
    };
    const auto push = [&](std::size_t len, std::size_t cap) {
        return bmpv_stream_push(s, image.data(), len, outBuf.data(), cap, &n);
    };
    const auto fail = [](void*, void*, std::size_t) -> std::ptrdiff_t { return -1; };
    const auto tooMuch = [](void*, void*, std::size_t cap) -> std::ptrdiff_t {
        return static_cast<std::ptrdiff_t>(cap + 1);
    };
    const auto readImage = [](void* user, void* to, std::size_t cap) -> std::ptrdiff_t {
        auto& rest = *static_cast<Bytes*>(user);
        const std::size_t k = std::min(cap, rest.size());
        std::memcpy(to, rest.data(), k);
        rest.erase(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(k));
        return static_cast<std::ptrdiff_t>(k);
    };
    const auto writeFails = [](void*, const void*, std::size_t) { return 1; };
    const auto writeOk = [](void*, const void*, std::size_t) { return 0; };
    Bytes rest = image;

    const int saved = ::dup(2);
    const std::string errPath = (dir / "stderr.txt").string();
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(err, 0);
    ::dup2(err, 2);
    const std::vector<std::pair<int, int>> cases{
        {bmpv_tone_buffer("BM!", buf.data(), 3), BMPV_E_NOT_VALID},
        {bmpv_tone_buffer(unsupported.data(), buf.data(), image.size()), BMPV_E_UNSUPPORTED},
        {bmpv_tone_io(fail, nullptr, writeOk, nullptr), BMPV_E_READ},
        {bmpv_tone_io(tooMuch, nullptr, writeOk, nullptr), BMPV_E_READ},
        {file(in, dir.path().string(), 0, EISDIR), BMPV_E_OPEN_OUTPUT},
        {bmpv_tone_io(readImage, &rest, writeFails, nullptr), BMPV_E_WRITE},
        {file(out + ".missing", out, 0, ENOENT), BMPV_E_OPEN_INPUT},
        {file(in, "", 0, 0), BMPV_E_OPEN_OUTPUT},
        {(push(image.size() - 100, outBuf.size()), bmpv_stream_finish(s, buf.data(), 128, &n)),
         BMPV_E_TRUNCATED},
        {file(in, in, BMPV_NO_CLOBBER, EEXIST), BMPV_E_EXISTS},
        {file(in, link, BMPV_NO_CLOBBER, EEXIST), BMPV_E_EXISTS},
        {file(in, out, BMPV_NO_CLOBBER, 0), BMPV_OK},
        {file(in, out, 2, 0), BMPV_E_INVALID_ARG},
        {bmpv_tone_buffer(nullptr, buf.data(), 3), BMPV_E_INVALID_ARG},
        {bmpv_tone_buffer(buf.data(), buf.data() + 1, image.size()), BMPV_E_INVALID_ARG},
        {bmpv_tone_io(nullptr, nullptr, writeOk, nullptr), BMPV_E_INVALID_ARG},
        {bmpv_stream_new(nullptr), BMPV_E_INVALID_ARG},
        {(bmpv_stream_reset(s), push(100, 100 + BMPV_STREAM_SLACK - 1)), BMPV_E_INVALID_ARG},
        {bmpv_stream_push(s, outBuf.data(), 10, outBuf.data() + 9, 200, &n), BMPV_E_INVALID_ARG},
        {bmpv_stream_finish(s, buf.data(), BMPV_STREAM_SLACK - 1, &n), BMPV_E_INVALID_ARG},
        {push(image.size(), image.size() + BMPV_STREAM_SLACK), BMPV_OK},
        {bmpv_stream_finish(s, buf.data(), BMPV_STREAM_SLACK, &n), BMPV_OK},
        {push(1, outBuf.size()), BMPV_E_FINISHED},
        {bmpv_stream_finish(s, buf.data(), BMPV_STREAM_SLACK, &n), BMPV_E_FINISHED},
    };
    ::dup2(saved, 2);
    ::close(saved);
    ::close(err);
    for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(cases[i].first, cases[i].second) << i;
    EXPECT_EQ(ReadAll(in), image);  // not clobbered, though the same file
    EXPECT_EQ(ReadAll(out), Toned(image));
    EXPECT_EQ(ReadAll(errPath), Bytes{});
    bmpv_stream_free(s);
}

// A file that takes the output's name while a no-clobber call runs is kept.
TEST(Core, NoClobberKeepsAFileThatTookTheNameMeanwhile) {
    struct Intruder final : sorvane::TemporaryFileWatch {
        std::string path;
        void AfterCreate(int, const std::string*) override { WriteAll(path, Bytes{1, 2, 3}); }
    } intruder;
    TempDir dir;
    WriteAll(dir / "in.bmp", Image());
    intruder.path = (dir / "out.bmp").string();
    const sorvane::FileConversion done =
        sorvane::ConvertFileDetailed((dir / "in.bmp").string(), intruder.path, &intruder, true);
    EXPECT_EQ(done.line, "Error writing output file");
    EXPECT_EQ(done.systemError, EEXIST);
    EXPECT_EQ(ReadAll(intruder.path), (Bytes{1, 2, 3}));
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"in.bmp", "out.bmp"}));
}

// Each layout, rows top-down with padding and bottom-up packed, holding all
// 2^24 colours: the reference tone's colours, and A, X and padding bytes
// kept. Strides shorter than a row are refused, of either sign.
TEST(Core, EveryLayoutTonesEveryColourExactly) {
    constexpr std::size_t kSide = 4096;
    std::vector<std::array<std::uint8_t, 3>> reference(kSide * kSide);  // blue, green, red
    for (std::size_t c = 0; c < reference.size(); ++c) {
        reference[c] = {static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(c >> 8),
                        static_cast<std::uint8_t>(c >> 16)};
        sorvane::ToneOnePixel(reference[c].data());
    }
    // Offsets of red, green, blue and the fourth byte, by layout.
    constexpr int kPlaces[BMPV_LAYOUT_COUNT][4] = {
        {0, 1, 2, -1}, {2, 1, 0, -1}, {0, 1, 2, 3}, {2, 1, 0, 3}, {1, 2, 3, 0},
        {3, 2, 1, 0},  {0, 1, 2, 3},  {2, 1, 0, 3}, {1, 2, 3, 0}, {3, 2, 1, 0}};
    Bytes buffer;
    std::uint8_t one[4] = {};
    for (int layout = 0; layout < BMPV_LAYOUT_COUNT; ++layout) {
        const int* at = kPlaces[layout];
        const std::size_t size = at[3] < 0 ? 3 : 4, row = kSide * size;
        const auto shorter = static_cast<std::ptrdiff_t>(row) - 1;
        for (const std::ptrdiff_t stride : {shorter, -shorter})
            EXPECT_EQ(bmpv_tone_pixels(one, kSide, 2, stride, static_cast<bmpv_layout>(layout)),
                      BMPV_E_INVALID_ARG);
        for (const std::ptrdiff_t stride :
             {static_cast<std::ptrdiff_t>(row + 5), -static_cast<std::ptrdiff_t>(row)}) {
            SCOPED_TRACE(testing::Message() << layout << " " << stride);
            const std::size_t step = static_cast<std::size_t>(std::abs(stride));
            buffer.assign(step * kSide, 0x5A);
            std::uint8_t* const row0 = buffer.data() + (stride < 0 ? step * (kSide - 1) : 0);
            const auto pixel = [&](std::size_t c) {
                return row0 + (c / kSide) * stride + c % kSide * size;
            };
            for (std::size_t c = 0; c < reference.size(); ++c) {
                std::uint8_t* p = pixel(c);
                p[at[0]] = static_cast<std::uint8_t>(c >> 16),
                p[at[1]] = static_cast<std::uint8_t>(c >> 8);
                p[at[2]] = static_cast<std::uint8_t>(c);
                if (at[3] >= 0) p[at[3]] = static_cast<std::uint8_t>(c * 7);
            }
            ASSERT_EQ(
                bmpv_tone_pixels(row0, kSide, kSide, stride, static_cast<bmpv_layout>(layout)),
                BMPV_OK);
            std::size_t wrong = 0;
            for (std::size_t c = 0; c < reference.size(); ++c) {
                const std::uint8_t* p = pixel(c);
                wrong += p[at[0]] != reference[c][2] || p[at[1]] != reference[c][1] ||
                         p[at[2]] != reference[c][0] ||
                         (at[3] >= 0 && p[at[3]] != static_cast<std::uint8_t>(c * 7));
            }
            EXPECT_EQ(wrong, 0u);
            if (stride > 0) {
                EXPECT_EQ(buffer[row], 0x5A);  // padding
            }
        }
    }
    EXPECT_EQ(bmpv_tone_pixels(one, 1, 1, 0, BMPV_LAYOUT_COUNT), BMPV_E_INVALID_ARG);
    EXPECT_EQ(bmpv_tone_pixels(one, SIZE_MAX / 3, 1, 0, BMPV_BGR), BMPV_E_INVALID_ARG);
    EXPECT_EQ(bmpv_tone_pixels(one, 1, SIZE_MAX / 2, 0, BMPV_BGR), BMPV_E_INVALID_ARG);
    EXPECT_EQ(bmpv_tone_pixels(nullptr, 0, 5, 0, BMPV_RGB), BMPV_OK);
    EXPECT_EQ(bmpv_tone_pixels(nullptr, 1, 1, 0, BMPV_RGB), BMPV_E_INVALID_ARG);
}

// Eight threads, each with its own stream and image (run under
// ThreadSanitizer by .ci/sanitize.sh).
TEST(CoreThreads, EightStreamsAtOnceGiveTheMemoryCallsBytes) {
    std::vector<Bytes> images, got(8);
    for (int i = 0; i < 8; ++i) images.push_back(Image(i));
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] {
            bmpv_stream* s = nullptr;
            if (bmpv_stream_new(&s) != BMPV_OK) return;
            Bytes out(7 + BMPV_STREAM_SLACK);
            for (int round = 0; round < 20; ++round) {
                got[i].clear();
                bmpv_stream_reset(s);
                std::size_t n = 0;
                for (std::size_t at = 0; at < images[i].size(); at += 7) {
                    const std::size_t len = std::min<std::size_t>(7, images[i].size() - at);
                    if (bmpv_stream_push(s, &images[i][at], len, out.data(), out.size(), &n)) break;
                    got[i].insert(got[i].end(), out.begin(), out.begin() + static_cast<long>(n));
                }
                if (bmpv_stream_finish(s, out.data(), out.size(), &n) == BMPV_OK)
                    got[i].insert(got[i].end(), out.begin(), out.begin() + static_cast<long>(n));
            }
            bmpv_stream_free(s);
        });
    }
    for (std::thread& t : threads) t.join();
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(got[i], Toned(images[i])) << i;
}

}  // namespace
