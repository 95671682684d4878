// File access for POSIX systems.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "convert/Platform.h"

namespace sorvane {

namespace {

// Closes a descriptor when it goes out of scope.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    // Closes now and reports whether the close succeeded.
    bool Close() {
        const int f = fd;
        fd = -1;
        return ::close(f) == 0;
    }
};

// Reads up to n bytes at the current position; returns the count read (less
// than n only at end of file) or -1 on an error.
long long ReadFully(int fd, std::uint8_t* to, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::read(fd, to + got, n - got);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return static_cast<long long>(got);
}

bool WriteFully(int fd, const std::uint8_t* from, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, from, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (w == 0) return false;
        from += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Follows symbolic links (even a dangling last one) so that the file they
// point at is replaced, not the link. Gives up after 40 links, as the
// kernel does.
std::optional<std::string> FollowLinks(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n < 0 || static_cast<std::size_t>(n) >= target.size()) return std::nullopt;
        target.resize(static_cast<std::size_t>(n));
        path = (target.front() == '/') ? target : DirectoryOf(path) + "/" + target;
    }
    return std::nullopt;
}

// A name for the new file beside the target, unlikely to collide; the open
// uses O_EXCL and retries if it does.
std::string TemporaryName(const std::string& target, unsigned attempt) {
    static_assert(sizeof(unsigned long long) >= 8);
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    const unsigned long long mix = static_cast<unsigned long long>(ts.tv_nsec) ^
                                   (static_cast<unsigned long long>(::getpid()) << 32) ^
                                   (reinterpret_cast<std::uintptr_t>(&ts) >> 4) ^ attempt;
    const std::string dir = DirectoryOf(target);
    const auto slash = target.find_last_of('/');
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%llx.tmp", mix);
    return dir + "/." + base + suffix;
}

// Memory for a whole file. A large buffer starts on a 2 MiB boundary and its
// whole 2 MiB pages are offered to the kernel as huge pages: a fresh buffer
// otherwise costs a page fault every 4 KiB as the read fills it, which on a
// virtual machine can take longer than the read itself (a 48 MiB file: 250 ms
// against 15 ms measured). The part after the last whole huge page keeps
// small pages, so no more memory is resident than the file needs.
std::uint8_t* AllocateFileBuffer(std::size_t size) {
    constexpr std::size_t kHugePage = std::size_t{2} << 20;
    if (size < kHugePage) return static_cast<std::uint8_t*>(std::malloc(size));
    void* p = nullptr;
    if (::posix_memalign(&p, kHugePage, size) != 0) return nullptr;
#ifdef MADV_HUGEPAGE
    // Only advice: without huge pages the buffer works the same.
    ::madvise(p, size / kHugePage * kHugePage, MADV_HUGEPAGE);
#endif
    return static_cast<std::uint8_t*>(p);
}

// How much is read at a time for an observer (32 KiB to 1 MiB measured alike).
constexpr std::size_t kReadPart = std::size_t{512} << 10;

}  // namespace

void ReleaseBytes::operator()(std::uint8_t* bytes) const noexcept {
    std::free(bytes);
}

ReadStatus ReadWholeBMP(const NativePath& path, ByteBuffer& out, ReadObserver* observer) {
    // Non-blocking, so that a FIFO without a writer (or a device that waits)
    // cannot stall the open; only regular files get past the check below.
    Fd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (in.fd < 0) return ReadStatus::OpenFailed;
    struct stat st;
    if (::fstat(in.fd, &st) != 0) return ReadStatus::ReadFailed;
    if (!S_ISREG(st.st_mode)) return ReadStatus::OpenFailed;
    const int flags = ::fcntl(in.fd, F_GETFL);
    if (flags < 0 || ::fcntl(in.fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return ReadStatus::ReadFailed;

    // The signature first, so that no other file costs an allocation.
    std::uint8_t magic[2];
    const long long m = ReadFully(in.fd, magic, 2);
    if (m < 0) return ReadStatus::ReadFailed;
    if (m < 2 || magic[0] != 'B' || magic[1] != 'M') return ReadStatus::NotValid;

    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size < 2 || size > SIZE_MAX / 2)
        return size < 2 ? ReadStatus::NotValid : ReadStatus::NoMemory;
    out.data.reset(AllocateFileBuffer(size));
    if (!out.data) return ReadStatus::NoMemory;
    out.data[0] = magic[0];
    out.data[1] = magic[1];
    // With an observer the file is read in parts, each handed over as soon
    // as it has arrived.
    const std::span<std::uint8_t> whole(out.data.get(), size);
    std::size_t got = 2;
    while (got < size) {
        const std::size_t want =
            observer ? std::min<std::size_t>(kReadPart, size - got) : size - got;
        const long long r = ReadFully(in.fd, out.data.get() + got, want);
        if (r < 0) return ReadStatus::ReadFailed;
        got += static_cast<std::size_t>(r);
        if (static_cast<std::size_t>(r) < want) break;
        if (observer) observer->Arrived(whole, got);
    }
    // A file that shrank since fstat is taken as it is now; one that grew is
    // taken at its size when opened.
    out.size = got;
    return ReadStatus::Ok;
}

WriteStatus ReplaceFile(const NativePath& path, std::span<const std::uint8_t> bytes) {
    const auto target = FollowLinks(path);
    if (!target) return WriteStatus::OpenFailed;

    struct stat existing;
    const bool exists = ::stat(target->c_str(), &existing) == 0;
    // Only regular files are replaced: renaming over a device, pipe or
    // directory would destroy it rather than write to it.
    if (exists && !S_ISREG(existing.st_mode)) return WriteStatus::OpenFailed;

    std::string tmp;
    int fd = -1;
    for (unsigned attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = TemporaryName(*target, attempt);
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return WriteStatus::OpenFailed;
    Fd out(fd);

    bool ok = true;
    if (exists) {
        // Keep the replaced file's permission bits and, where allowed, owner.
        ok = ::fchmod(out.fd, existing.st_mode & 07777) == 0;
        if (ok && ::fchown(out.fd, existing.st_uid, existing.st_gid) != 0) {
            // Not permitted for ordinary users; the bits above still hold.
        }
    }
    ok = ok && WriteFully(out.fd, bytes.data(), bytes.size());
    ok = out.Close() && ok;
    ok = ok && ::rename(tmp.c_str(), target->c_str()) == 0;
    if (!ok) {
        ::unlink(tmp.c_str());
        return WriteStatus::WriteFailed;
    }
    return WriteStatus::Ok;
}

void PrintErrorLine(std::string_view line) {
    char buf[128];
    const std::size_t n = line.size() < sizeof buf - 1 ? line.size() : sizeof buf - 1;
    std::memcpy(buf, line.data(), n);
    buf[n] = '\n';
    ssize_t w;
    do {
        w = ::write(STDERR_FILENO, buf, n + 1);
    } while (w < 0 && errno == EINTR);
}

}  // namespace sorvane
