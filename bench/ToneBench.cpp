// How fast the tone and the whole conversion are, each against the plain cost
// of moving the same bytes, measured side by side in one run:
//   ToneVsMemcpy          ToneRun on a 4096 x 4096 block (48 MiB) against a
//                         memcpy of it; counter `ratio` = tone / memcpy.
//   BMPVintageVsCopy      BMPVintage on a 4096 x 4096 24-bit BMP file against
//                         reading the file whole and writing a copy of it, all
//                         in a temporary directory (the page cache);
//                         counter `ratio` = BMPVintage / copy with the same kind
//                         of buffer, `ratio_newcopy` = BMPVintage / copy with
//                         a plain new[] buffer.
//   PeakMemory            the bmpvintage program's peak resident size on that
//                         file, less its peak on a 4 x 4 file, against the
//                         file's size (counters in MiB).
// and, for reference, each form of the tone and the plain pixel-by-pixel one.
// The pixels are random colours: the slowest case for the exact forms, which
// redo a few rare colours with doubles.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "BMPVintage.h"
#include "tone/VintageTone.h"
#include "tone/VintageToneFast.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::int32_t kSide = 4096;
constexpr std::size_t kBlockBytes = std::size_t{kSide} * kSide * 3;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::vector<std::uint8_t> RandomBytes(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    std::mt19937_64 rng(20240607);
    for (std::size_t i = 0; i < n; i += 8) {
        const std::uint64_t x = rng();
        std::memcpy(&v[i], &x, std::min<std::size_t>(8, n - i));
    }
    return v;
}

// A 24-bit bottom-up BMP of side x side random pixels (no row padding).
std::vector<std::uint8_t> MakeBMP(std::int32_t side) {
    const std::size_t pixelBytes = std::size_t(side) * side * 3;
    std::vector<std::uint8_t> f(54);
    const auto put32 = [&f](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) f[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    f[0] = 'B', f[1] = 'M';
    put32(2, static_cast<std::uint32_t>(54 + pixelBytes));
    put32(10, 54);
    put32(14, 40);
    put32(18, static_cast<std::uint32_t>(side));
    put32(22, static_cast<std::uint32_t>(side));
    f[26] = 1;
    f[28] = 24;
    put32(34, static_cast<std::uint32_t>(pixelBytes));
    const auto pixels = RandomBytes(pixelBytes);
    f.insert(f.end(), pixels.begin(), pixels.end());
    return f;
}

bool WriteFile(const std::string& path, const std::uint8_t* data, std::size_t n) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = true;
    while (ok && n > 0) {
        const ssize_t w = ::write(fd, data, n);
        ok = w > 0;
        if (ok) data += w, n -= static_cast<std::size_t>(w);
    }
    return ::close(fd) == 0 && ok;
}

// A buffer as BMPVintage takes it on Linux: 2 MiB aligned, its whole 2 MiB
// pages offered as huge pages.
struct HugeBuffer {
    void* p = nullptr;
    explicit HugeBuffer(std::size_t size) {
        if (::posix_memalign(&p, std::size_t{2} << 20, size) != 0) throw std::bad_alloc();
        ::madvise(p, size / (std::size_t{2} << 20) * (std::size_t{2} << 20), MADV_HUGEPAGE);
    }
    ~HugeBuffer() { std::free(p); }
    std::uint8_t* get() const { return static_cast<std::uint8_t*>(p); }
};

struct PlainBuffer {
    std::unique_ptr<std::uint8_t[]> p;
    explicit PlainBuffer(std::size_t size) : p(new std::uint8_t[size]) {}
    std::uint8_t* get() const { return p.get(); }
};

// What a plain program does to copy a file: one buffer of the file's size,
// read whole, written whole.
template <typename Buffer>
bool PlainCopy(const std::string& from, const std::string& to) {
    const int fd = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    if (::fstat(fd, &st) != 0) return ::close(fd), false;
    const auto size = static_cast<std::size_t>(st.st_size);
    Buffer buf(size);
    std::size_t got = 0;
    while (got < size) {
        const ssize_t r = ::read(fd, buf.get() + got, size - got);
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    ::close(fd);
    return got == size && WriteFile(to, buf.get(), size);
}

// A temporary directory holding the test files, removed at the end.
struct Workspace {
    fs::path dir;
    std::string big, tiny, copy, out;
    std::size_t bigSize = 0;

    Workspace() {
        dir = fs::temp_directory_path() / ("sorvane-bench-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        big = (dir / "big.bmp").string();
        tiny = (dir / "tiny.bmp").string();
        copy = (dir / "copy.bmp").string();
        out = (dir / "out.bmp").string();
        const auto b = MakeBMP(kSide);
        const auto t = MakeBMP(4);
        bigSize = b.size();
        if (!WriteFile(big, b.data(), b.size()) || !WriteFile(tiny, t.data(), t.size()))
            std::fprintf(stderr, "cannot write the benchmark files in %s\n", dir.c_str());
    }
    ~Workspace() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

void BM_Memcpy(benchmark::State& state) {
    const auto src = RandomBytes(kBlockBytes);
    std::vector<std::uint8_t> dst(kBlockBytes);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), kBlockBytes);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlockBytes));
}

// Toning changes the colours, so each pass starts again from the same random
// block (restored outside the timing).
template <typename Tone>
void ToneBlock(benchmark::State& state, Tone tone) {
    const auto src = RandomBytes(kBlockBytes);
    std::vector<std::uint8_t> block(kBlockBytes);
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(block.data(), src.data(), kBlockBytes);
        state.ResumeTiming();
        tone(block);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlockBytes));
}

void BM_ToneVsMemcpy(benchmark::State& state) {
    const auto src = RandomBytes(kBlockBytes);
    std::vector<std::uint8_t> block(kBlockBytes), dst(kBlockBytes);
    double copySeconds = 0, toneSeconds = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        std::memcpy(dst.data(), src.data(), kBlockBytes);
        benchmark::ClobberMemory();
        auto t1 = Clock::now();
        std::memcpy(block.data(), src.data(), kBlockBytes);
        benchmark::ClobberMemory();
        auto t2 = Clock::now();
        sorvane::ToneRun(block);
        benchmark::ClobberMemory();
        auto t3 = Clock::now();
        copySeconds += Seconds(t1 - t0);
        toneSeconds += Seconds(t3 - t2);
        state.SetIterationTime(Seconds(t3 - t2));
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["memcpy_ms"] = copySeconds / n * 1e3;
    state.counters["tone_ms"] = toneSeconds / n * 1e3;
    state.counters["ratio"] = toneSeconds / copySeconds;
    state.SetLabel(
        std::string(sorvane::tonefast::ToneVariantName(sorvane::tonefast::BestToneVariant())));
}

// Two plain copies: with the same kind of buffer as BMPVintage (so that the
// ratio shows what the conversion adds), and with a plain new[] buffer.
void BM_BMPVintageVsCopy(benchmark::State& state, const Workspace* ws) {
    const std::u16string in = fs::path(ws->big).u16string();
    const std::u16string out = fs::path(ws->out).u16string();
    double copySeconds = 0, plainSeconds = 0, convertSeconds = 0;
    for (auto _ : state) {
        // All write new files: replacing an existing one makes some file
        // systems (ext4) start writing it back to disk at once, which would
        // measure the disk rather than the page cache.
        ::unlink(ws->copy.c_str());
        ::unlink(ws->out.c_str());
        auto t0 = Clock::now();
        if (!PlainCopy<HugeBuffer>(ws->big, ws->copy)) state.SkipWithError("plain copy failed");
        auto t1 = Clock::now();
        if (BMPVintage(in.c_str(), out.c_str()) != 0) state.SkipWithError("BMPVintage failed");
        auto t2 = Clock::now();
        ::unlink(ws->copy.c_str());
        auto t3 = Clock::now();
        if (!PlainCopy<PlainBuffer>(ws->big, ws->copy)) state.SkipWithError("plain copy failed");
        auto t4 = Clock::now();
        copySeconds += Seconds(t1 - t0);
        convertSeconds += Seconds(t2 - t1);
        plainSeconds += Seconds(t4 - t3);
        state.SetIterationTime(Seconds(t2 - t1));
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["copy_ms"] = copySeconds / n * 1e3;
    state.counters["bmpvintage_ms"] = convertSeconds / n * 1e3;
    state.counters["ratio"] = convertSeconds / copySeconds;
    state.counters["newcopy_ms"] = plainSeconds / n * 1e3;
    state.counters["ratio_newcopy"] = convertSeconds / plainSeconds;
}

// Peak resident size, in bytes, of the bmpvintage program converting `in`.
long PeakOfProgram(const std::string& in, const std::string& out) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int devnull = ::open("/dev/null", O_WRONLY);
        if (devnull >= 0) ::dup2(devnull, 2);
        ::execl(SORVANE_BMPVINTAGE_PROGRAM, "bmpvintage", in.c_str(), out.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    struct rusage ru {};
    if (pid < 0 || ::wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return -1;
    return ru.ru_maxrss * 1024L;  // reported in KiB
}

void BM_PeakMemory(benchmark::State& state, const Workspace* ws) {
    long big = 0, tiny = 0;
    for (auto _ : state) {
        big = PeakOfProgram(ws->big, ws->out);
        tiny = PeakOfProgram(ws->tiny, ws->out);
    }
    if (big < 0 || tiny < 0) return state.SkipWithError("bmpvintage failed");
    constexpr double kMiB = 1024.0 * 1024.0;
    state.counters["file_MiB"] = static_cast<double>(ws->bigSize) / kMiB;
    state.counters["extra_peak_MiB"] = static_cast<double>(big - tiny) / kMiB;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    const Workspace ws;

    benchmark::RegisterBenchmark("ToneVsMemcpy", BM_ToneVsMemcpy)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BMPVintageVsCopy", BM_BMPVintageVsCopy, &ws)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("PeakMemory", BM_PeakMemory, &ws)->Iterations(1);
    benchmark::RegisterBenchmark("Memcpy", BM_Memcpy)->Unit(benchmark::kMillisecond);
    for (const auto v : sorvane::tonefast::kAllToneVariants) {
        if (!sorvane::tonefast::ToneVariantAvailable(v)) continue;
        const std::string name = "Tone/" + std::string(sorvane::tonefast::ToneVariantName(v));
        benchmark::RegisterBenchmark(name.c_str(), [v](benchmark::State& state) {
            ToneBlock(state,
                      [v](std::span<std::uint8_t> b) { sorvane::tonefast::ToneRunWith(v, b); });
        })->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark("Tone/reference", [](benchmark::State& state) {
        ToneBlock(state, [](std::span<std::uint8_t> b) {
            sorvane::ApplyVintageTone(b.data(), kSide, kSide);
        });
    })->Unit(benchmark::kMillisecond);

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
