// Faults injected through the real file path: inputs that are not files,
// writes that fail midway, allocations that fail, inputs that shrink while
// being read or written to, outputs the caller may not write, and the syncs
// of a replacement. POSIX (Linux) only.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>

#include <atomic>
#include <csignal>
#include <cstdarg>
#include <thread>

#include "BmpBuilder.h"
#include "HardeningSupport.h"
#include "convert/ConvertFile.h"
#include "module/bmpv.h"

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer a failed allocation must reach the library as a
// null pointer, as it does without the sanitizer, not end the process.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}
#endif

namespace {

using namespace hardening;

// An input that is not a regular file is refused at the open, without
// waiting: opening a FIFO that has no writer would otherwise block forever.
TEST(FaultInjection, NonRegularInputsAreRefusedWithoutBlocking) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "fifo.bmp").c_str(), 0600), 0);
    fs::create_directory(dir / "dir.bmp");
    for (const fs::path& in : {dir / "fifo.bmp", dir / "dir.bmp", fs::path("/dev/zero")}) {
        SCOPED_TRACE(in.string());
        const ChildOutcome o = ConvertInChild(in, dir / "out.bmp");
        EXPECT_FALSE(o.timedOut) << "the conversion blocked";
        EXPECT_EQ(o.exitCode, 1);
        EXPECT_EQ(o.stderrText, "Error opening input file\n");
        EXPECT_FALSE(fs::exists(dir / "out.bmp"));
    }
}

void LimitFileSize(rlim_t bytes) {
    std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG
    const rlimit rl{bytes, bytes};
    ::setrlimit(RLIMIT_FSIZE, &rl);
}

// Where the output goes when the write fails: the input itself, a new file,
// a file already there, or a file reached through a symbolic link.
enum class Target { InPlace, NewFile, ExistingFile, ThroughSymlink };

// A write that fails at any point (the first byte, inside the headers,
// inside the pixels, the very last byte) loses nothing, whatever the target.
// (BMPVintageTest covers one limit in place and to a new file.)
TEST(FaultInjection, WriteFailingAnywhereLosesNothing) {
    bmptest::Bmp24 image;
    image.width = 64;
    image.height = 32;  // 6,198 bytes
    const Bytes in = image.Build();
    const Bytes kept = {'k', 'e', 'e', 'p'};
    for (const rlim_t limit :
         {rlim_t{0}, rlim_t{1}, rlim_t{30}, rlim_t{2000}, rlim_t{in.size() - 1}}) {
        for (const Target target :
             {Target::InPlace, Target::NewFile, Target::ExistingFile, Target::ThroughSymlink}) {
            SCOPED_TRACE("limit " + std::to_string(limit) + ", target " +
                         std::to_string(static_cast<int>(target)));
            TempDir dir;
            WriteAll(dir / "in.bmp", in);
            fs::path out = dir / "out.bmp";
            if (target == Target::InPlace) out = dir / "in.bmp";
            if (target == Target::ExistingFile || target == Target::ThroughSymlink)
                WriteAll(dir / "out.bmp", kept);
            if (target == Target::ThroughSymlink) {
                fs::create_symlink("out.bmp", dir / "link.bmp");
                out = dir / "link.bmp";
            }
            const auto before = dir.Entries();
            const ChildOutcome o =
                ConvertInChild(dir / "in.bmp", out, [&] { LimitFileSize(limit); });
            EXPECT_EQ(o.exitCode, 1);
            EXPECT_EQ(o.stderrText, "Error writing output file\n");
            EXPECT_EQ(ReadAll(dir / "in.bmp"), in);
            if (target == Target::ExistingFile || target == Target::ThroughSymlink) {
                EXPECT_EQ(ReadAll(dir / "out.bmp"), kept);
            }
            EXPECT_EQ(dir.Entries(), before) << "a temporary file was left behind";
        }
    }
}

// Devices are never written, even through a link: a full device would fail
// the write, a null one would swallow it, and replacing either would destroy
// it. The device is this test's own (made with mknod), never the machine's.
TEST(FaultInjection, DeviceOutputsAreRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a device node";
    TempDir dir;
    const Bytes in = bmptest::Bmp24{}.Build();
    WriteAll(dir / "in.bmp", in);
    ASSERT_EQ(::mknod((dir / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)), 0);
    fs::create_symlink("full", dir / "full.bmp");
    for (const fs::path& out : {dir / "full", dir / "full.bmp"}) {
        SCOPED_TRACE(out.string());
        const ChildOutcome o = ConvertInChild(dir / "in.bmp", out);
        EXPECT_EQ(o.exitCode, 1);
        EXPECT_EQ(o.stderrText, "Error opening output file\n");
        struct stat st;
        ASSERT_EQ(::stat((dir / "full").c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
        EXPECT_TRUE(fs::is_symlink(dir / "full.bmp"));
        EXPECT_EQ(ReadAll(dir / "in.bmp"), in);
    }
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"full", "full.bmp", "in.bmp"}));
}

// A valid 24-bit file of about 64 MiB, sparse: the header, then zero pixels.
void WriteLargeImage(const fs::path& p, Bytes& header) {
    bmptest::Bmp24 shape;
    shape.width = 4096;
    shape.height = 0;
    header = shape.Build();             // 54 bytes: just the headers
    const std::uint32_t height = 5462;  // 4096 x 3 x 5462 = 67,117,056 pixel bytes
    const std::uint32_t pixels = 4096u * 3u * height;
    bmptest::PutU32(header, 2, 54 + pixels);
    bmptest::PutU32(header, 22, height);
    bmptest::PutU32(header, 34, pixels);
    WriteAll(p, header);
    fs::resize_file(p, 54 + pixels);
}

// A conversion takes the same memory whatever the file's size: a 64 MiB
// file converts in a child that may grow by 4 MiB. When even the one buffer
// cannot be had, the call says so and writes nothing.
TEST(FaultInjection, FailedAllocationWritesNothing) {
    TempDir dir;
    Bytes header;
    WriteLargeImage(dir / "in.bmp", header);
    const auto size = fs::file_size(dir / "in.bmp");
    for (const bool inPlace : {false, true}) {
        SCOPED_TRACE(inPlace ? "in place" : "new output");
        const fs::path out = inPlace ? dir / "in.bmp" : dir / "out.bmp";
        const ChildOutcome o = ConvertInChild(dir / "in.bmp", out, [] { CapGrowth(256u << 10); });
        EXPECT_EQ(o.exitCode, 1);
        EXPECT_EQ(o.stderrText, "Not enough memory\n");
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"in.bmp"});
        EXPECT_EQ(fs::file_size(dir / "in.bmp"), size);
        Bytes start = ReadAll(dir / "in.bmp");
        start.resize(54);
        EXPECT_EQ(start, header);
    }
    // The core's callbacks, whose one buffer cannot be had either.
    const ChildOutcome io = RunInChild([] {
        CapGrowth(256u << 10);
        return static_cast<int>(
            bmpv_tone_io([](void*, void*, std::size_t) -> std::ptrdiff_t { return 0; }, nullptr,
                         [](void*, const void*, std::size_t) { return 0; }, nullptr));
    });
    EXPECT_EQ(io.exitCode, BMPV_E_NO_MEMORY);
    const ChildOutcome o =
        ConvertInChild(dir / "in.bmp", dir / "out.bmp", [] { CapGrowth(4u << 20); });
    EXPECT_EQ(o.exitCode, 0) << o.stderrText;
    EXPECT_EQ(fs::file_size(dir / "out.bmp"), size);
    // Black stays black: the output is the input's bytes.
    EXPECT_EQ(ReadAll(dir / "out.bmp"), ReadAll(dir / "in.bmp"));
}

// Whether `out` is `in` with every pixel toned from what the file held at
// some moment while it was cut and restored: each byte either the original
// or zero. (Linux does not make a read atomic against a concurrent
// truncation and write, so one read can see part of a page zeroed.)
::testing::AssertionResult TonedFromWhatTheFileHeld(const Bytes& in, const Bytes& out) {
    if (out.size() != in.size()) return ::testing::AssertionFailure() << "length " << out.size();
    if (!std::equal(in.begin(), in.begin() + 54, out.begin()))
        return ::testing::AssertionFailure() << "headers changed";
    for (std::size_t at = 54; at + 3 <= in.size(); at += 3) {
        bool found = false;
        for (int keep = 7; keep >= 0 && !found; --keep) {
            std::uint8_t pixel[3];
            for (int k = 0; k < 3; ++k) pixel[k] = (keep >> k & 1) ? in[at + k] : 0;
            sorvane::ToneOnePixel(pixel);
            found = std::equal(pixel, pixel + 3, out.begin() + static_cast<std::ptrdiff_t>(at));
        }
        if (!found)
            return ::testing::AssertionFailure() << "pixel at " << at << " is not from the file";
    }
    return ::testing::AssertionSuccess();
}

// An input cut short while it is being read is refused (the cut seen at the
// open or during the read), or converted as it was read; it is never read
// past what the file held (the sanitizer build checks the bounds). Another thread keeps cutting the
// file in half and restoring it while conversions run.
TEST(FaultInjection, InputShrinkingDuringTheReadIsRefused) {
    TempDir dir;
    bmptest::Bmp24 image;
    image.width = 512;
    image.height = 512;  // 786,486 bytes, unpadded
    const Bytes in = image.Build();
    const Bytes toned = Toned(in);
    WriteAll(dir / "in.bmp", in);

    std::atomic<bool> stop{false};
    std::thread cutter([&] {
        const int fd = ::open((dir / "in.bmp").c_str(), O_WRONLY);
        const std::size_t half = in.size() / 2;
        while (!stop.load()) {
            if (::ftruncate(fd, static_cast<off_t>(half)) != 0) break;
            if (::pwrite(fd, in.data() + half, in.size() - half, static_cast<off_t>(half)) !=
                static_cast<ssize_t>(in.size() - half))
                break;
        }
        ::close(fd);
    });
    // Stops the cutter on every way out, failed assertions included.
    struct StopAndJoin {
        std::atomic<bool>& stop;
        std::thread& thread;
        ~StopAndJoin() {
            stop = true;
            thread.join();
        }
    } stopAndJoin{stop, cutter};
    const std::u16string src = U16(dir / "in.bmp"), dst = U16(dir / "out.bmp");
    int converted = 0, refused = 0;
    for (int i = 0; i < 120; ++i) {
        fs::remove(dir / "out.bmp");
        const ChildOutcome o = RunInChild([&] { return BMPVintage(src.c_str(), dst.c_str()); });
        if (o.exitCode == 0) {
            ++converted;
            ASSERT_TRUE(TonedFromWhatTheFileHeld(in, ReadAll(dir / "out.bmp")));
        } else {
            ++refused;
            ASSERT_EQ(o.exitCode, 1);
            ASSERT_TRUE(o.stderrText == "Not a valid BMP file\n" ||
                        o.stderrText == "Error reading input file\n")
                << o.stderrText;
            ASSERT_EQ(dir.Entries(), std::vector<std::string>{"in.bmp"});
        }
    }
    std::printf("shrinking input: %d converted, %d refused\n", converted, refused);
}

// Any write to an input while it is read shows in its times or size, and
// the conversion then fails (ConvertStream's tests cover the failing side).
// A 5 GiB (sparse) input opens with its size on 32-bit builds too.
TEST(FaultInjection, InputFileNoticesChangesAndLargeSizes) {
    TempDir dir;
    const fs::path path = dir / "in.bmp";
    WriteAll(path, bmptest::Bmp24{}.Build());
    // An old modification time, so that a write in the same clock tick as
    // the file's creation still changes it.
    const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
    sorvane::InputStatus status;
    const auto in = sorvane::OpenInputFile(path.string(), status);
    ASSERT_TRUE(in);
    std::uint8_t head[16];
    ASSERT_EQ(in->Read(head, sizeof head), 16);
    EXPECT_TRUE(in->Unchanged());
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_EQ(::pwrite(fd, head, 1, 0), 1);  // the same byte again
    ::close(fd);
    EXPECT_FALSE(in->Unchanged());
    // Its modification time put back: the change time still tells.
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
    EXPECT_FALSE(in->Unchanged());

    const std::uint64_t five = std::uint64_t{5} << 30;
    fs::resize_file(path, five);
    const auto large = sorvane::OpenInputFile(path.string(), status);
    ASSERT_TRUE(large);
    EXPECT_EQ(large->Size(), five);
    // Another file saved under its name (written beside it, then renamed).
    WriteAll(dir / "saved.tmp", {1});
    fs::rename(dir / "saved.tmp", path);
    EXPECT_FALSE(large->Unchanged());
}

// Every fsync of a conversion: how many files and folders, and whether each
// file was synced while still beside its output rather than in its place.
// A folder's sync fails with `folderSyncError` when set; `whileFileSyncs`
// runs as a file is synced. copy_file_range fails with `copyError` when set.
std::atomic<int> syncedFiles{0}, syncedFolders{0}, syncedInPlace{0}, syncedFileSystems{0};
fs::path watchedOutput;
int folderSyncError = 0, copyError = 0;
std::function<void()> whileFileSyncs;
// Races and old kernels, on demand: each mkdirat finds its name made by
// another first (EEXIST); the clock stands still (so temporary names made
// from the same place repeat); openat2 is missing (ENOSYS).
bool mkdirLosesRace = false, clockStopped = false, noOpenat2 = false;

template <typename F>
F Next(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" long syscall(long number, ...) {
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (long& x : a) x = va_arg(ap, long);
    va_end(ap);
    if (number == SYS_openat2 && noOpenat2) return errno = ENOSYS, -1;
    static const auto real = Next<long (*)(long, ...)>("syscall");
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

extern "C" int mkdirat(int at, const char* name, mode_t mode) {
    const long made = ::syscall(SYS_mkdirat, at, name, mode);
    return made == 0 && mkdirLosesRace ? (errno = EEXIST, -1) : static_cast<int>(made);
}

extern "C" int clock_gettime(clockid_t clock, timespec* t) {
    if (clockStopped) return *t = {1, 2}, 0;
    static const auto real = Next<int (*)(clockid_t, timespec*)>("clock_gettime");
    return real(clock, t);
}

extern "C" int syncfs(int fd) {
    ++syncedFileSystems;
    return static_cast<int>(::syscall(SYS_syncfs, fd));
}

extern "C" ssize_t copy_file_range(int in, off64_t* inAt, int out, off64_t* outAt, size_t n,
                                   unsigned flags) {
    if (copyError != 0) return errno = copyError, -1;
    return ::syscall(SYS_copy_file_range, in, inAt, out, outAt, n, flags);
}

extern "C" int fsync(int fd) {
    struct stat st, at;
    if (::fstat(fd, &st) == 0) {
        if (S_ISDIR(st.st_mode) && folderSyncError != 0) return errno = folderSyncError, -1;
        if (!S_ISDIR(st.st_mode) && whileFileSyncs) whileFileSyncs();
        ++(S_ISDIR(st.st_mode) ? syncedFolders : syncedFiles);
        if (!S_ISDIR(st.st_mode) && ::stat(watchedOutput.c_str(), &at) == 0 &&
            at.st_ino == st.st_ino)
            ++syncedInPlace;
    }
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace {

// Replacing a file syncs the new one before it takes the old one's place,
// and the folder after; a new output is not synced (its input is still
// there).
TEST(FaultInjection, ReplacementsAreSynced) {
    TempDir dir;
    WriteAll(dir / "in.bmp", bmptest::Bmp24{}.Build());
    const struct {
        const char* name;
        fs::path out;
        int synced;
    } cases[] = {{"new output", dir / "out.bmp", 0},
                 {"existing output", dir / "out.bmp", 1},
                 {"in place", dir / "in.bmp", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        syncedFiles = syncedFolders = syncedInPlace = 0;
        watchedOutput = c.out;
        EXPECT_EQ(sorvane::ConvertFile(dir / "in.bmp", c.out), "");
        EXPECT_EQ(syncedFiles, c.synced);
        EXPECT_EQ(syncedFolders, c.synced);
        EXPECT_EQ(syncedInPlace, 0);
    }
    // Once renamed, the file is replaced: a folder that fails to sync then
    // fails nothing (a rerun would tone the image twice).
    folderSyncError = EIO;
    const auto r = sorvane::ConvertFileDetailed(dir / "in.bmp", dir / "in.bmp");
    folderSyncError = 0;
    EXPECT_EQ(r.line, "");
    // A folder the caller cannot open (-wx) is synced by its file system.
    if (::geteuid() != 0) return;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0333), 0);
    ASSERT_EQ(::chmod((dir / "out.bmp").c_str(), 0666), 0);
    const Bytes now = ReadAll(dir / "in.bmp");
    const ChildOutcome o = RunInChild([&] {
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)
            return 99;
        const auto r = sorvane::ConvertFileDetailed(dir / "in.bmp", dir / "out.bmp");
        return r.line.empty() ? syncedFileSystems.load() : 98;
    });
    EXPECT_EQ(o.exitCode, 1);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0700), 0);
    EXPECT_EQ(ReadAll(dir / "out.bmp"), Toned(now));
}

// The temporary files a watch hears of: each name, and whether the file
// existed at that moment. `beforeCreate` runs as it is told of a create,
// `gone` as it is told of a rename or removal to come.
struct Watch final : sorvane::TemporaryFileWatch {
    std::vector<std::pair<std::string, bool>> heard;
    std::function<void()> beforeCreate, gone;
    static bool Exists(int folder, const std::string& name) {
        struct stat st;
        return ::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    }
    void BeforeCreate() override {
        if (beforeCreate) beforeCreate();
    }
    void AfterCreate(int folder, const std::string* t) override {
        if (t != nullptr) heard.emplace_back("+" + *t, Exists(folder, *t));
    }
    void BeforeSettle(int folder, const std::string& t) override {
        heard.emplace_back("-" + t, Exists(folder, t));
        if (gone) gone();
    }
    void Settled(int folder, const std::string& t, bool) override {
        heard.emplace_back("=" + t, Exists(folder, t));
    }
};

// A file saved under the output's name after the conversion checked it, or
// written into in place (even with its size kept and its modification time
// put back), is kept, and the conversion fails without leaving its own file.
// A file that appears at a new output's name, even after the last check, is
// kept too. The watch hears of that file once it exists, again just
// before it goes, and once it is gone.
TEST(FaultInjection, LateEditsAreKept) {
    TempDir dir;
    const Bytes in = bmptest::Bmp24{}.Build(), newer = {'n', 'e', 'w'};
    Bytes written = in;
    written[0] = 'X';
    const struct {
        const char* name;
        std::function<void()> edit;
        Bytes left;
    } edits[] = {{"not edited", nullptr, Toned(in)},
                 {"saved by rename",
                  [&] {
                      WriteAll(dir / "saved.tmp", newer);
                      fs::rename(dir / "saved.tmp", dir / "in.bmp");
                  },
                  newer},
                 {"written into",
                  [&] {
                      const auto modified = fs::last_write_time(dir / "in.bmp");
                      WriteAll(dir / "in.bmp", written);
                      fs::last_write_time(dir / "in.bmp", modified);
                  },
                  written}};
    for (const auto& e : edits) {
        SCOPED_TRACE(e.name);
        WriteAll(dir / "in.bmp", in);
        whileFileSyncs = e.edit;
        Watch watch;
        const auto r = sorvane::ConvertFileDetailed(dir / "in.bmp", dir / "in.bmp", &watch);
        whileFileSyncs = nullptr;
        EXPECT_EQ(r.line, e.edit ? "Error writing output file" : "");
        EXPECT_EQ(r.systemError, 0);
        EXPECT_EQ(ReadAll(dir / "in.bmp"), e.left);
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"in.bmp"});
        const std::string t = watch.heard.at(0).first.substr(1);
        EXPECT_EQ(watch.heard,
                  (decltype(watch.heard){{"+" + t, true}, {"-" + t, true}, {"=" + t, false}}));
    }
    for (const bool afterCheck : {false, true}) {
        SCOPED_TRACE(afterCheck ? "after the check" : "before the check");
        fs::remove(dir / "out.bmp");
        Watch watch;
        watch.gone = [&] {
            if (afterCheck) WriteAll(dir / "out.bmp", newer);
        };
        auto out = sorvane::CreateOutputFile((dir / "out.bmp").string(), &watch);
        ASSERT_TRUE(out && out->Write(in));
        if (!afterCheck) WriteAll(dir / "out.bmp", newer);
        EXPECT_FALSE(out->Commit());
        EXPECT_EQ(out->SystemError(), EEXIST);
        out.reset();
        EXPECT_EQ(ReadAll(dir / "out.bmp"), newer);
        EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"in.bmp", "out.bmp"}));
    }
}

// The attributes of a replaced file that cannot be read (no descriptor
// left) fail the call before the rename: the old file stays, and no
// temporary file. A name already taken by a temporary file (another
// conversion's) is never written into: the next name is tried.
// Commit() with every descriptor taken, given back after. (Undefined-
// BehaviorSanitizer's check of a call's dynamic type probes memory through
// a pipe, which it cannot make meanwhile: it would call a sound object
// broken.)
#if defined(__GNUC__)
__attribute__((no_sanitize("vptr")))
#endif
int CommitWithNoDescriptorLeft(sorvane::OutputFile& out) {
    std::vector<int> taken;
    for (int fd; (fd = ::dup(STDERR_FILENO)) >= 0;) taken.push_back(fd);
    const int result = out.Commit() ? 98 : out.SystemError();
    for (const int fd : taken) ::close(fd);
    return result;
}

TEST(FaultInjection, ReplacementsLoseNothing) {
    TempDir dir;
    const Bytes in = bmptest::Bmp24{}.Build(), old = {'o'};
    WriteAll(dir / "out.bmp", old);
    const ChildOutcome o = RunInChild([&] {
        auto out = sorvane::CreateOutputFile((dir / "out.bmp").string());
        const rlimit few{64, 64};
        if (!out || !out->Write(in) || ::setrlimit(RLIMIT_NOFILE, &few) != 0) return 99;
        return CommitWithNoDescriptorLeft(*out);
    });
    EXPECT_EQ(o.exitCode, EMFILE) << o.stderrText;
    EXPECT_EQ(ReadAll(dir / "out.bmp"), old);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"out.bmp"});
    Watch watch;
    std::unique_ptr<sorvane::OutputFile> outs[2];
    clockStopped = true;
    for (auto& out : outs) out = sorvane::CreateOutputFile((dir / "out.bmp").string(), &watch);
    clockStopped = false;
    ASSERT_EQ(watch.heard.size(), 2u);
    EXPECT_NE(watch.heard[0].first, watch.heard[1].first);
}

// The output's folder is looked up once: a folder on the way swapped for a
// link to another folder after the lookup (before the temporary file is
// made, or before the rename) changes nothing. The conversion ends in the
// folder it found, and nothing is made or left in the other.
TEST(FaultInjection, FoldersSwappedForLinksMidwayAreNotFollowed) {
    const Bytes in = bmptest::Bmp24{}.Build();
    for (const bool beforeRename : {false, true}) {
        SCOPED_TRACE(beforeRename ? "before the rename" : "before the create");
        TempDir dir;
        fs::create_directories(dir / "a");
        fs::create_directories(dir / "other");
        WriteAll(dir / "in.bmp", in);
        WriteAll(dir / "other/keep.bmp", {'k'});
        const auto swap = [&] {
            fs::rename(dir / "a", dir / "moved");
            fs::create_directory_symlink(dir / "other", dir / "a");
        };
        Watch watch;
        (beforeRename ? watch.gone : watch.beforeCreate) = swap;
        const auto r = sorvane::ConvertFileDetailed(dir / "in.bmp", dir / "a/out.bmp", &watch);
        EXPECT_EQ(r.line, "");
        EXPECT_EQ(ReadAll(dir / "moved/out.bmp"), Toned(in));
        EXPECT_EQ(std::distance(fs::directory_iterator(dir / "moved"), {}), 1);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir / "other"), {}), 1);
    }
}

// A read error while the kernel copies an indexed image's pixels is the
// input's; the errors given are those of the calls that failed.
TEST(FaultInjection, SystemErrorsAreTheFailedCalls) {
    TempDir dir;
    bmptest::BmpImage image;
    image.palette = {{1, 2, 3}, {4, 5, 6}};
    image.width = image.height = 64;
    WriteAll(dir / "in.bmp", image.Build().bytes);
    copyError = EIO;
    const auto r = sorvane::ConvertFileDetailed(dir / "in.bmp", dir / "out.bmp");
    copyError = 0;
    EXPECT_EQ(r.line, "Error reading input file");
    EXPECT_EQ(r.systemError, EIO);
    EXPECT_EQ(sorvane::ConvertFileDetailed(dir / "no.bmp", dir / "out.bmp").systemError, ENOENT);
    EXPECT_EQ(sorvane::ConvertFileDetailed(dir / "in.bmp", dir / "no" / "out.bmp").systemError,
              ENOENT);
    EXPECT_EQ(sorvane::SystemErrorText(ENOENT), "No such file or directory");
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"in.bmp"});
}

// A host with some or all of its standard descriptors closed: the library's
// files never take 0, 1 or 2, where the host's own lines would be written
// into them, and none is inherited by the host's children.
TEST(FaultInjection, OwnFilesStayOffTheStandardDescriptors) {
    TempDir dir;
    WriteAll(dir / "in.bmp", bmptest::Bmp24{}.Build());
    WriteAll(dir / "old.bmp", {'o'});
    const std::string in = (dir / "in.bmp").string();
    for (const int firstClosed : {0, 2}) {
        SCOPED_TRACE(firstClosed);
        const ChildOutcome o = RunInChild([&] {
            for (int fd = firstClosed; fd <= 2; ++fd) ::close(fd);
            std::vector<bool> before;
            for (int fd = 0; fd < 64; ++fd) before.push_back(::fcntl(fd, F_GETFD) != -1);
            sorvane::InputStatus status;
            const auto input = sorvane::OpenInputFile(in, status);
            const auto fresh = sorvane::CreateOutputFile((dir / "out.bmp").string());
            const auto replacing = sorvane::CreateOutputFile((dir / "old.bmp").string());
            int wrong = 0;
            for (int fd = 0; fd < 64; ++fd) {
                const int flags = ::fcntl(fd, F_GETFD);
                if (flags != -1 && !before[fd]) wrong += fd <= 2 || (flags & FD_CLOEXEC) == 0;
            }
            return input && fresh && replacing ? wrong : 99;
        });
        EXPECT_EQ(o.exitCode, 0);
    }
}

// An existing output that the caller may not write is refused and kept,
// though its folder would let it be replaced; a writable one in the same
// place is replaced. One the caller may write but not read keeps its ACL,
// and is kept when it has attributes the caller may not read (user.*). The
// caller is `nobody`, in a child.
TEST(FaultInjection, OutputsTheCallerMayNotWriteAreKept) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to become nobody";
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    const Bytes in = bmptest::Bmp24{}.Build();
    const Bytes kept = {'k', 'e', 'e', 'p'}, acl = testfiles::AclWithNobody();
    const fs::path out = dir / "out.bmp";
    WriteAll(dir / "in.bmp", in);
    const struct {
        mode_t mode;
        bool nobodys, note;  // owned by nobody, with an ACL; with a user.* attribute
        const char* line;
    } cases[] = {{0644, false, false, "Error opening output file\n"},
                 {0666, false, false, ""},
                 {0200, true, false, ""},
                 {0200, true, true, "Error writing output file\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.mode) + (c.note ? " with user.note" : ""));
        fs::remove(out);
        WriteAll(out, kept);
        if (c.nobodys) {
            ASSERT_EQ(::chown(out.c_str(), 65534, 65534), 0);
            if (::setxattr(out.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) !=
                    0 ||
                (c.note && ::setxattr(out.c_str(), "user.note", "n", 1, 0) != 0))
                GTEST_SKIP() << "no ACLs or user attributes on " << dir.path();
        }
        ASSERT_EQ(::chmod(out.c_str(), c.mode), 0);
        const ChildOutcome o = ConvertInChild(dir / "in.bmp", out, [] {
            if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)
                ::_exit(3);
        });
        EXPECT_EQ(o.stderrText, c.line);
        EXPECT_EQ(ReadAll(out), *c.line == '\0' ? Toned(in) : kept);
        EXPECT_EQ(::getxattr(out.c_str(), "system.posix_acl_access", nullptr, 0),
                  c.nobodys ? static_cast<ssize_t>(acl.size()) : -1);
        EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"in.bmp", "out.bmp"}));
    }
}

// A name that another user planted in a shared sticky folder is not used:
// a link not followed, a folder not entered, a file or FIFO not replaced,
// neither as the output nor on the way to it, and no folder is made through
// it. The caller's own names there are used, and so are the folder owner's,
// and anyone's in a folder that is world-writable but not sticky. (The
// library reads links and replaces files itself, so the kernel's
// fs.protected_* settings never decide these cases.)
TEST(FaultInjection, NamesPlantedInStickyFoldersAreNotUsed) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to become nobody";
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const struct {
        const char* folder;
        mode_t mode;
        uid_t owner;
    } folders[] = {{"st", 01777, 0}, {"open", 0777, 0}, {"nobodys", 01777, 65534}};
    for (const auto& f : folders) {
        fs::create_directory(dir / f.folder);
        ASSERT_EQ(::chown((dir / f.folder).c_str(), f.owner, 0), 0);
        ASSERT_EQ(::chmod((dir / f.folder).c_str(), f.mode), 0);
    }
    fs::create_directory(dir / "victim");
    const Bytes in = bmptest::Bmp24{}.Build(), precious = {'p'};
    WriteAll(dir / "in.bmp", in);
    const ChildOutcome planted = RunInChild([&] {
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)
            return 1;
        for (const char* link : {"st/out.bmp", "open/out.bmp", "nobodys/out.bmp", "st/sub"}) {
            const fs::path target =
                dir / "victim" /
                (fs::path(link).filename() == "sub" ? "" : fs::path(link).parent_path());
            if (::symlink(target.c_str(), (dir / link).c_str()) != 0) return 1;
        }
        WriteAll(dir / "st/file.bmp", precious);
        WriteAll(dir / "nobodys/file.bmp", precious);
        return int{::mkfifo((dir / "st/fifo.bmp").c_str(), 0666) != 0 ||
                   ::mkdir((dir / "st/dir").c_str(), 0777) != 0 ||
                   ::symlink((dir / "victim/dir").c_str(), (dir / "st/dir/out.bmp").c_str()) != 0};
    });
    ASSERT_EQ(planted.exitCode, 0);
    fs::create_symlink(dir / "victim/mine", dir / "st/mine.bmp");
    fs::create_symlink(dir / "victim/mine2", dir / "nobodys/mine.bmp");
    const struct {
        const char* out;
        const char* changed;  // what holds the toned image when the output is used
        int error;            // 0: used
    } cases[] = {
        {"st/out.bmp", "victim/st", EACCES},      {"st/sub/st", "victim/st", EACCES},
        {"st/file.bmp", "st/file.bmp", EACCES},   {"st/fifo.bmp", nullptr, EACCES},
        {"st/dir/out.bmp", "victim/dir", EACCES}, {"st/mine.bmp", "victim/mine", 0},
        {"nobodys/mine.bmp", "victim/mine2", 0},  {"nobodys/file.bmp", "nobodys/file.bmp", 0},
        {"open/out.bmp", "victim/open", 0},       {"nobodys/out.bmp", "victim/nobodys", 0}};
    for (const auto& c : cases) {
        if (c.changed != nullptr && fs::path(c.changed).parent_path() == "victim")
            WriteAll(dir / c.changed, precious);
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        const auto r = sorvane::ConvertFileDetailed(dir / "in.bmp", dir / c.out);
        EXPECT_EQ(r.line, c.error == 0 ? "" : "Error opening output file");
        EXPECT_EQ(r.systemError, c.error);
        // A planted file or FIFO is the file ResolveOutputPath names; it is
        // refused when it would be replaced.
        const bool leaf = c.changed == nullptr || std::string_view(c.changed) == c.out;
        EXPECT_EQ(sorvane::ResolveOutputPath((dir / c.out).string()).has_value(),
                  c.error == 0 || leaf);
        if (c.changed != nullptr) {
            EXPECT_EQ(ReadAll(dir / c.changed), c.error == 0 ? Toned(in) : precious);
        }
    }
    EXPECT_EQ(sorvane::MakeOutputFolders((dir / "st/sub/2020/deep").string()), EACCES);
    EXPECT_EQ(sorvane::MakeOutputFolders((dir / "st/dir").string()), EACCES);
    EXPECT_EQ(sorvane::MakeOutputFolders((dir / "open/out.bmp/x").string()), ENOTDIR);
    fs::create_symlink(dir / "victim", dir / "st/own");
    EXPECT_EQ(sorvane::MakeOutputFolders((dir / "st/own/2020/deep").string()), 0);
    EXPECT_TRUE(fs::is_directory(dir / "victim/2020/deep"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "victim"), {}), 7);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "st"), {}), 7);
}

// An in-place output must be its input; an input opened beneath a folder
// is reached through no link, also on a kernel without openat2.
void InPlaceAndBeneathFollowNoOtherName() {
    TempDir dir;
    const Bytes in = bmptest::Bmp24{}.Build(), other = {'o'};
    fs::create_directories(dir / "tree/sub");
    WriteAll(dir / "tree/sub/in.bmp", in);
    WriteAll(dir / "other.bmp", other);
    fs::create_symlink(dir / "tree/sub/in.bmp", dir / "tree/link.bmp");
    fs::create_directory_symlink(dir / "tree/sub", dir / "tree/linked");
    fs::create_directory_symlink(dir / "tree", dir / "root");
    const struct {
        const char* relative;
        const char* out;
        const char* line;
        int error;
    } cases[] = {{"sub/in.bmp", "tree/link.bmp", "", 0},
                 {"sub/in.bmp", "other.bmp", "Error opening output file", 0},
                 {"sub/in.bmp", "missing.bmp", "Error opening output file", ENOENT},
                 {"link.bmp", "other.bmp", "Error opening input file", ELOOP},
                 {"linked/in.bmp", "other.bmp", "Error opening input file", ELOOP}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.relative + std::string(" to ") + c.out);
        sorvane::InputStatus status;
        int error = 0;
        auto input =
            sorvane::OpenInputFileBeneath((dir / "root").string(), c.relative, status, &error);
        const auto r =
            sorvane::ConvertOpenedFile(std::move(input), (dir / c.out).string(), nullptr, true);
        EXPECT_EQ(r.line, c.line);
        EXPECT_EQ(r.systemError ? r.systemError : error, c.error);
    }
    EXPECT_EQ(ReadAll(dir / "tree/sub/in.bmp"), Toned(in));
    EXPECT_EQ(ReadAll(dir / "other.bmp"), other);
    EXPECT_FALSE(fs::exists(dir / "missing.bmp"));
}

TEST(FaultInjection, InPlaceAndBeneathFollowNoOtherName) {
    InPlaceAndBeneathFollowNoOtherName();
}

TEST(FaultInjection, InPlaceAndBeneathFollowNoOtherNameWithoutOpenat2) {
    noOpenat2 = true;
    InPlaceAndBeneathFollowNoOtherName();
    noOpenat2 = false;
}

// Output folders are made to any depth, with the mode asked less the umask,
// also when another makes each name first. A link on the way is resolved in
// the path given back, a ".." above a relative start stays one, and a loop
// of links ends (ELOOP) rather than hangs.
TEST(FaultInjection, OutputPathsAtAnyDepth) {
    TempDir dir;
    std::string deep = dir.path().string();
    for (int level = 0; level < 120; ++level) deep += "/d";
    mkdirLosesRace = true;
    EXPECT_EQ(sorvane::MakeOutputFolders(deep, 0750), 0);
    mkdirLosesRace = false;
    fs::create_directory(dir / "plain");  // as the umask has it
    struct stat made, plain;
    ASSERT_EQ(::stat(deep.c_str(), &made) | ::stat((dir / "plain").c_str(), &plain), 0);
    EXPECT_EQ(made.st_mode & 07777, plain.st_mode & 0750);
    fs::create_directory_symlink(dir / "d", dir / "link");
    EXPECT_EQ(sorvane::ResolveOutputPath((dir / "link/d/out.bmp").string()),
              (dir / "d/d/out.bmp").string());
    fs::create_symlink("loop2", dir / "loop1");
    fs::create_symlink("loop1", dir / "loop2");
    const ChildOutcome loop = RunInChild(
        [&] {
            int error = 0;
            return sorvane::CreateOutputFile((dir / "loop1").string(), nullptr, &error) ? 0 : error;
        },
        5);
    EXPECT_EQ(loop.exitCode, ELOOP);
    const ChildOutcome up = RunInChild([&] {
        return ::chdir(deep.c_str()) == 0 &&
               sorvane::ResolveOutputPath("../../in.bmp") == std::string("../../in.bmp");
    });
    EXPECT_EQ(up.exitCode, 1);
}

// A link in procfs is followed by the kernel: /proc/self/fd/N leads to the
// folder open on N, not to the one its text names, here another mounted over
// it since (in the child's own mount namespace).
TEST(FaultInjection, MagicLinksAreFollowedByTheKernel) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
    TempDir dir;
    fs::create_directory(dir / "a");
    const ChildOutcome o = RunInChild([&] {
        const int held = ::open((dir / "a").c_str(), O_PATH | O_DIRECTORY);
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("t", (dir / "a").c_str(), "tmpfs", 0, nullptr) != 0)
            return 77;
        const std::string out = "/proc/self/fd/" + std::to_string(held) + "/out.bmp";
        const Bytes one = {'x'};
        auto file = sorvane::CreateOutputFile(out);
        return file && file->Write(one) && file->Commit() && !fs::exists(dir / "a/out.bmp") ? 0 : 1;
    });
    if (o.exitCode == 77) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(ReadAll(dir / "a/out.bmp"), Bytes{'x'});
}

}  // namespace
