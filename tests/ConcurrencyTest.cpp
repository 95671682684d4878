// Calls on several threads at once: no shared state between them, and two
// calls racing for one output leave one whole image there.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>

#include "BmpBuilder.h"
#include "HardeningSupport.h"

namespace {

using namespace hardening;

// Eight different images: sizes, padding, row order, gaps and trailing bytes.
std::vector<Bytes> EightImages() {
    std::vector<Bytes> images;
    for (int i = 0; i < 8; ++i) {
        bmptest::Bmp24 b;
        b.width = 61 + 17 * i;
        b.height = 40 + 9 * i;
        b.topDown = i % 2 == 1;
        b.gap = static_cast<std::uint32_t>(i * 5);
        b.trailing = static_cast<std::uint32_t>(i * 3);
        b.pixel = [i](int x, int y) {
            return bmptest::Rgb{static_cast<std::uint8_t>(x * 13 + i),
                                static_cast<std::uint8_t>(y * 7),
                                static_cast<std::uint8_t>(x ^ y ^ (i * 31))};
        };
        images.push_back(b.Build());
    }
    return images;
}

TEST(Concurrency, EightThreadsGiveTheBytesOfOneAtATime) {
    TempDir dir;
    const std::vector<Bytes> images = EightImages();
    std::vector<std::u16string> in, alone, together;
    for (std::size_t i = 0; i < images.size(); ++i) {
        const std::string n = std::to_string(i);
        WriteAll(dir.path() / ("in" + n + ".bmp"), images[i]);
        in.push_back(U16(dir.path() / ("in" + n + ".bmp")));
        alone.push_back(U16(dir.path() / ("alone" + n + ".bmp")));
        together.push_back(U16(dir.path() / ("together" + n + ".bmp")));
    }
    for (std::size_t i = 0; i < images.size(); ++i)
        ASSERT_EQ(BMPVintage(in[i].c_str(), alone[i].c_str()), 0);

    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::latch start(static_cast<std::ptrdiff_t>(images.size()));
        std::vector<int> results(images.size(), -1);
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < images.size(); ++i)
            threads.emplace_back([&, i] {
                start.arrive_and_wait();
                results[i] = BMPVintage(in[i].c_str(), together[i].c_str());
            });
        for (auto& t : threads) t.join();
        for (std::size_t i = 0; i < images.size(); ++i) {
            const std::string n = std::to_string(i);
            EXPECT_EQ(results[i], 0);
            const Bytes expected = ReadAll(dir.path() / ("alone" + n + ".bmp"));
            EXPECT_NE(expected, images[i]);
            EXPECT_EQ(ReadAll(dir.path() / ("together" + n + ".bmp")), expected) << "image " << i;
        }
    }
}

// Two threads keep writing different images to the same path while a third
// keeps reading it: every read, and the file left at the end, is one of the
// two toned images whole, and no temporary file is left behind. A writer
// that finds the other's image put there since its own began fails (the
// newer file is kept); the others succeed.
TEST(Concurrency, TwoWritersOnOneOutputLeaveOneWholeImage) {
    TempDir dir;
    bmptest::Bmp24 a;
    a.width = 120;
    a.height = 90;
    bmptest::Bmp24 b;
    b.width = 77;  // padded rows, another size
    b.height = 150;
    b.pixel = [](int x, int y) {
        return bmptest::Rgb{static_cast<std::uint8_t>(255 - x), static_cast<std::uint8_t>(y),
                            static_cast<std::uint8_t>(x + y)};
    };
    WriteAll(dir / "a.bmp", a.Build());
    WriteAll(dir / "b.bmp", b.Build());
    const std::u16string inA = U16(dir / "a.bmp"), inB = U16(dir / "b.bmp");
    const std::u16string out = U16(dir / "out.bmp");
    // The expected results, made one at a time.
    ASSERT_EQ(BMPVintage(inA.c_str(), U16(dir / "ta.bmp").c_str()), 0);
    ASSERT_EQ(BMPVintage(inB.c_str(), U16(dir / "tb.bmp").c_str()), 0);
    const Bytes tonedA = ReadAll(dir / "ta.bmp"), tonedB = ReadAll(dir / "tb.bmp");
    fs::remove(dir / "ta.bmp");
    fs::remove(dir / "tb.bmp");
    ASSERT_NE(tonedA, tonedB);

    constexpr int kRounds = 60;
    std::atomic<int> failures{0}, torn{0}, reads{0};
    std::atomic<bool> writing{true};
    std::latch start(3);
    const auto writer = [&](const std::u16string& in) {
        start.arrive_and_wait();
        for (int i = 0; i < kRounds; ++i)
            if (BMPVintage(in.c_str(), out.c_str()) != 0) ++failures;
    };
    std::thread reader([&] {
        start.arrive_and_wait();
        while (writing.load()) {
            if (!fs::exists(dir / "out.bmp")) continue;
            const Bytes seen = ReadAll(dir / "out.bmp");
            ++reads;
            if (seen != tonedA && seen != tonedB) ++torn;
        }
    });
    std::thread first(writer, inA), second(writer, inB);
    first.join();
    second.join();
    writing = false;
    reader.join();

    EXPECT_LT(failures.load(), 2 * kRounds);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(torn.load(), 0) << "of " << reads.load() << " reads";
    const Bytes last = ReadAll(dir / "out.bmp");
    EXPECT_TRUE(last == tonedA || last == tonedB);
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"a.bmp", "b.bmp", "out.bmp"}));
}

}  // namespace
