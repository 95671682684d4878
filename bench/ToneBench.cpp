// How fast the tone and the whole conversion are, each against the plain cost
// of moving the same bytes, measured side by side in one run:
//   ToneVsMemcpy          ToneRun on a 4096 x 4096 block (48 MiB) against a
//                         memcpy of it; counter `ratio` = tone / memcpy.
//   BMPVintageVsCopy      BMPVintage on a 4096 x 4096 24-bit BMP file (48 MiB)
//                         against a plain copy loop (read a part, write it)
//                         with the conversion's part size, all in a temporary
//                         directory (the page cache); `ratio` = BMPVintage /
//                         copy.
//   Indexed2GBVsCopy      the same for an 8-bit indexed image of 2 GiB (only
//                         when the filter names it: it takes 2 GiB of disk).
//   CoreCalls             the core library on a 4096 x 4096 24-bit BMP
//                         (48 MiB): bmpv_tone_buffer, the stream in 64 KiB
//                         pushes, bmpv_tone_pixels on its pixels as BGR and on
//                         as many BGRA pixels, beside memcpy of the same
//                         bytes, in GB/s; `stream_ratio` = stream / buffer
//                         time, and the stream's size in bytes (it allocates
//                         nothing else).
//   PeakMemory            the bmpvintage program's peak resident size on those
//                         files, less its peak on a 4 x 4 file (in MiB).
// and, for reference, each form of the tone and the plain pixel-by-pixel one.
// The pixels are random colours: the slowest case for the exact forms, which
// redo a few rare colours with doubles.
#include <benchmark/benchmark.h>
#include <fcntl.h>
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
#include "bmpv.h"
#include "convert/PushStream.h"
#include "convert/ConvertStream.h"
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

// What a plain program does to copy a file, with the conversion's own part
// size: one buffer, read a part, write it, until the end.
bool StreamCopy(const std::string& from, const std::string& to) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0) return ::close(in), false;
    const std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[sorvane::kStreamPart]);
    bool ok = true;
    for (;;) {
        const ssize_t r = ::read(in, buffer.get(), sorvane::kStreamPart);
        if (r <= 0) {
            ok = r == 0;
            break;
        }
        for (ssize_t done = 0; ok && done < r;) {
            const ssize_t w = ::write(out, buffer.get() + done, static_cast<std::size_t>(r - done));
            ok = w > 0;
            done += w;
        }
        if (!ok) break;
    }
    ::close(in);
    return ::close(out) == 0 && ok;
}

// An 8-bit indexed BMP of `bytes` pixel bytes (rows of 65536 pixels): the
// headers, a 256-entry colour table, then indices, written in parts.
bool WriteIndexedBMP(const std::string& path, std::uint64_t bytes) {
    const std::uint32_t width = 65536;
    const auto height = static_cast<std::uint32_t>(bytes / width);
    std::vector<std::uint8_t> f(54 + 1024);
    const auto put32 = [&f](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) f[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    f[0] = 'B', f[1] = 'M';
    put32(2, 0);  // too large for the field; readers go by the headers
    put32(10, 54 + 1024);
    put32(14, 40);
    put32(18, width);
    put32(22, height);
    f[26] = 1;
    f[28] = 8;
    const auto table = RandomBytes(1024);
    std::copy(table.begin(), table.end(), f.begin() + 54);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = ::write(fd, f.data(), f.size()) == static_cast<ssize_t>(f.size());
    const auto part = RandomBytes(std::size_t{64} << 20);
    for (std::uint64_t left = std::uint64_t{width} * height; ok && left > 0;) {
        const std::size_t n = left < part.size() ? static_cast<std::size_t>(left) : part.size();
        ok = ::write(fd, part.data(), n) == static_cast<ssize_t>(n);
        left -= n;
    }
    return ::close(fd) == 0 && ok;
}

// A temporary directory holding the test files, removed at the end. The
// 2 GB indexed image is made only when its benchmark is asked for.
struct Workspace {
    fs::path dir;
    std::string big, tiny, copy, out, indexed;
    std::size_t bigSize = 0;

    explicit Workspace(bool withIndexed) {
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
        if (withIndexed) {
            indexed = (dir / "indexed.bmp").string();
            if (!WriteIndexedBMP(indexed, std::uint64_t{2} << 30))
                std::fprintf(stderr, "cannot write %s\n", indexed.c_str());
        }
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

void BM_CoreCalls(benchmark::State& state) {
    const auto file = MakeBMP(kSide);
    const std::size_t n = file.size();
    constexpr std::size_t kChunk = std::size_t{64} << 10;
    std::vector<std::uint8_t> out(n + BMPV_STREAM_SLACK), pixels(kBlockBytes),
        quads(std::size_t{kSide} * kSide * 4);
    const auto quadSource = RandomBytes(quads.size());
    bmpv_stream* stream = nullptr;
    if (bmpv_stream_new(&stream) != BMPV_OK) return state.SkipWithError("no stream");
    double copy = 0, buffer = 0, streamed = 0, bgr = 0, copyQuads = 0, bgra = 0;
    bool ok = true;
    for (auto _ : state) {
        auto t0 = Clock::now();
        std::memcpy(out.data(), file.data(), n);
        benchmark::ClobberMemory();
        auto t1 = Clock::now();
        ok = ok && bmpv_tone_buffer(file.data(), out.data(), n) == BMPV_OK;
        benchmark::ClobberMemory();
        auto t2 = Clock::now();
        bmpv_stream_reset(stream);
        std::size_t at = 0, got = 0;
        for (std::size_t i = 0; i < n; i += kChunk, at += got)
            ok = ok && bmpv_stream_push(stream, file.data() + i, std::min(kChunk, n - i),
                                        out.data() + at, kChunk + BMPV_STREAM_SLACK, &got) == BMPV_OK;
        ok = ok && bmpv_stream_finish(stream, out.data() + at, BMPV_STREAM_SLACK, &got) == BMPV_OK;
        benchmark::ClobberMemory();
        auto t3 = Clock::now();
        std::memcpy(pixels.data(), file.data() + 54, kBlockBytes);
        auto t4 = Clock::now();
        ok = ok && bmpv_tone_pixels(pixels.data(), kSide, kSide, 0, BMPV_BGR) == BMPV_OK;
        benchmark::ClobberMemory();
        auto t5 = Clock::now();
        std::memcpy(quads.data(), quadSource.data(), quads.size());
        benchmark::ClobberMemory();
        auto t6 = Clock::now();
        ok = ok && bmpv_tone_pixels(quads.data(), kSide, kSide, 0, BMPV_BGRA) == BMPV_OK;
        benchmark::ClobberMemory();
        auto t7 = Clock::now();
        copy += Seconds(t1 - t0), buffer += Seconds(t2 - t1), streamed += Seconds(t3 - t2);
        bgr += Seconds(t5 - t4), copyQuads += Seconds(t6 - t5), bgra += Seconds(t7 - t6);
        state.SetIterationTime(Seconds(t3 - t2));
    }
    bmpv_stream_free(stream);
    if (!ok) return state.SkipWithError("a call failed");
    const double it = static_cast<double>(state.iterations());
    const auto gbps = [it](double bytes, double seconds) { return bytes * it / seconds / 1e9; };
    state.counters["memcpy_GBps"] = gbps(static_cast<double>(n), copy);
    state.counters["buffer_GBps"] = gbps(static_cast<double>(n), buffer);
    state.counters["stream64K_GBps"] = gbps(static_cast<double>(n), streamed);
    state.counters["stream_ratio"] = streamed / buffer;
    state.counters["pixels_bgr_GBps"] = gbps(static_cast<double>(kBlockBytes), bgr);
    state.counters["memcpy_quads_GBps"] = gbps(static_cast<double>(quads.size()), copyQuads);
    state.counters["pixels_bgra_GBps"] = gbps(static_cast<double>(quads.size()), bgra);
    state.counters["stream_bytes"] = static_cast<double>(sizeof(sorvane::PushStream));
}

// BMPVintage on `file` against the plain copy loop with the same part size;
// both write a new file. (Replacing an existing file syncs it, which would
// measure the disk rather than the page cache.)
void BM_BMPVintageVsCopy(benchmark::State& state, const Workspace* ws, const std::string* file) {
    const std::u16string in = fs::path(*file).u16string();
    const std::u16string out = fs::path(ws->out).u16string();
    double copySeconds = 0, convertSeconds = 0;
    bool convertFirst = false;
    for (auto _ : state) {
        // Each starts with no dirty pages left by the other, so that neither
        // is slowed down by the kernel writing the other's output back, and
        // they take turns going first.
        double seconds[2] = {0, 0};  // copy, conversion
        for (int k = 0; k < 2; ++k) {
            const bool convert = (k == 0) == convertFirst;
            ::unlink(ws->copy.c_str());
            ::unlink(ws->out.c_str());
            ::sync();
            const auto t0 = Clock::now();
            if (convert) {
                if (BMPVintage(in.c_str(), out.c_str()) != 0)
                    state.SkipWithError("BMPVintage failed");
            } else if (!StreamCopy(*file, ws->copy)) {
                state.SkipWithError("plain copy failed");
            }
            seconds[convert ? 1 : 0] = Seconds(Clock::now() - t0);
        }
        convertFirst = !convertFirst;
        copySeconds += seconds[0];
        convertSeconds += seconds[1];
        state.SetIterationTime(seconds[1]);
    }
    ::unlink(ws->copy.c_str());
    ::unlink(ws->out.c_str());
    const double n = static_cast<double>(state.iterations());
    state.counters["copy_ms"] = copySeconds / n * 1e3;
    state.counters["bmpvintage_ms"] = convertSeconds / n * 1e3;
    state.counters["ratio"] = convertSeconds / copySeconds;
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

// The program's peak beyond its peak on a 4 x 4 image, for each file.
void BM_PeakMemory(benchmark::State& state, const Workspace* ws) {
    long big = 0, tiny = 0, indexed = 0;
    for (auto _ : state) {
        big = PeakOfProgram(ws->big, ws->out);
        tiny = PeakOfProgram(ws->tiny, ws->out);
        if (!ws->indexed.empty()) indexed = PeakOfProgram(ws->indexed, ws->out);
    }
    ::unlink(ws->out.c_str());
    if (big < 0 || tiny < 0 || indexed < 0) return state.SkipWithError("bmpvintage failed");
    constexpr double kMiB = 1024.0 * 1024.0;
    state.counters["file_MiB"] = static_cast<double>(ws->bigSize) / kMiB;
    state.counters["extra_peak_MiB"] = static_cast<double>(big - tiny) / kMiB;
    if (!ws->indexed.empty())
        state.counters["extra_peak_2GB_MiB"] = static_cast<double>(indexed - tiny) / kMiB;
}

}  // namespace

int main(int argc, char** argv) {
    // The 2 GB image takes a while to write: only when a filter names it.
    bool withIndexed = false;
    for (int i = 1; i < argc; ++i)
        withIndexed = withIndexed || std::string(argv[i]).find("Indexed") != std::string::npos;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    const Workspace ws(withIndexed);

    benchmark::RegisterBenchmark("ToneVsMemcpy", BM_ToneVsMemcpy)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BMPVintageVsCopy", BM_BMPVintageVsCopy, &ws, &ws.big)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    if (withIndexed) {
        benchmark::RegisterBenchmark("Indexed2GBVsCopy", BM_BMPVintageVsCopy, &ws, &ws.indexed)
            ->UseManualTime()
            ->Iterations(3)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark("CoreCalls", BM_CoreCalls)
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
