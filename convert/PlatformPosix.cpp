// File access for POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <vector>

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

// A name for the new file beside the target. It is short whatever the
// target's name, so it fits wherever the target's name does; the open uses
// O_EXCL and tries another name if it collides.
std::string TemporaryName(const std::string& directory, unsigned attempt) {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    const unsigned long long mix =
        (static_cast<unsigned long long>(ts.tv_nsec) ^
         (static_cast<unsigned long long>(::getpid()) << 30) ^
         (reinterpret_cast<std::uintptr_t>(&ts) >> 4) ^ (attempt * 0x9E3779B97F4A7C15ull)) &
        0xFFFFFFFFFFFFull;
    char name[32];
    std::snprintf(name, sizeof name, "/.bmpvintage-%012llx.tmp", mix);
    return directory + name;
}

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

class PosixInput final : public InputFile {
  public:
    PosixInput(int fd, const struct stat& st) : fd_(fd), opened_(st) {}

    std::uint64_t Size() const override { return static_cast<std::uint64_t>(opened_.st_size); }

    long long Read(std::uint8_t* to, std::size_t n) override {
        for (;;) {
            const ssize_t r = ::read(fd_.fd, to, n);
            if (r >= 0) return r;
            if (errno != EINTR) return -1;
        }
    }

    // Any write, truncation or extension moves the modification and change
    // times (and a truncation or extension the size).
    bool Unchanged() override {
        struct stat now;
        return ::fstat(fd_.fd, &now) == 0 && now.st_size == opened_.st_size &&
               SameTime(now.st_mtim, opened_.st_mtim) && SameTime(now.st_ctim, opened_.st_ctim);
    }

    int fd() const { return fd_.fd; }

  private:
    Fd fd_;
    struct stat opened_;
};

// Copies the extended attributes of the file at `from` (among them the POSIX
// ACL) to the open file `to`. Those the caller may not set (trusted.*, some
// security.* ones) or the file system does not keep are left behind.
void CopyExtendedAttributes(const std::string& from, int to) {
    const ssize_t listSize = ::listxattr(from.c_str(), nullptr, 0);
    if (listSize <= 0) return;
    std::vector<char> names(static_cast<std::size_t>(listSize));
    const ssize_t got = ::listxattr(from.c_str(), names.data(), names.size());
    if (got <= 0) return;
    std::vector<char> value;
    for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
        const char* name = names.data() + at;
        at += std::strlen(name) + 1;
        const ssize_t valueSize = ::getxattr(from.c_str(), name, nullptr, 0);
        if (valueSize < 0) continue;
        value.resize(static_cast<std::size_t>(valueSize));
        const ssize_t n = ::getxattr(from.c_str(), name, value.data(), value.size());
        if (n < 0) continue;
        ::fsetxattr(to, name, value.data(), static_cast<std::size_t>(n), 0);
    }
}

void SyncDirectory(const std::string& directory) {
    Fd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Some file systems cannot sync a directory; the rename has happened.
    if (dir.fd >= 0) ::fsync(dir.fd);
}

class PosixOutput final : public OutputFile {
  public:
    PosixOutput(std::string target, std::string temporary, int fd,
                std::optional<struct stat> replaced)
        : target_(std::move(target)),
          temporary_(std::move(temporary)),
          fd_(fd),
          replaced_(replaced) {}

    ~PosixOutput() override {
        if (!temporary_.empty()) {
            if (fd_.fd >= 0) fd_.Close();
            ::unlink(temporary_.c_str());
        }
    }

    bool Write(std::span<const std::uint8_t> bytes) override {
        return WriteFully(fd_.fd, bytes.data(), bytes.size());
    }

    PassThrough CopyFrom(ByteSource& source, std::uint64_t n) override {
#ifdef __linux__
        // Only between two files: the kernel moves the bytes itself, with no
        // copy through this process (and a clone where the file system can).
        auto* const in = dynamic_cast<PosixInput*>(&source);
        if (in == nullptr) return PassThrough::NotOffered;
        bool first = true;
        while (n > 0) {
            const std::size_t part = n < (std::size_t{1} << 30) ? n : std::size_t{1} << 30;
            const ssize_t r = ::copy_file_range(in->fd(), nullptr, fd_.fd, nullptr, part, 0);
            if (r < 0) {
                if (errno == EINTR) continue;
                if (first && (errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                              errno == EOPNOTSUPP || errno == EBADF))
                    return PassThrough::NotOffered;
                return errno == EIO ? PassThrough::ReadFailed : PassThrough::WriteFailed;
            }
            if (r == 0) return PassThrough::ReadFailed;  // the input ended early
            first = false;
            n -= static_cast<std::uint64_t>(r);
        }
        return PassThrough::Done;
#else
        (void)source;
        (void)n;
        return PassThrough::NotOffered;
#endif
    }

    bool Commit() override {
        bool ok = true;
        if (replaced_) {
            // The owner first: a change of owner clears the mode's special bits.
            if (::fchown(fd_.fd, replaced_->st_uid, replaced_->st_gid) != 0) {
                // Only the group, where the caller belongs to it; else the
                // caller's own, as for any file it creates.
                if (::fchown(fd_.fd, static_cast<uid_t>(-1), replaced_->st_gid) != 0) {
                }
            }
            ok = ::fchmod(fd_.fd, replaced_->st_mode & 07777 & ~mode_t{S_ISUID | S_ISGID}) == 0;
            if (ok) CopyExtendedAttributes(target_, fd_.fd);
            // The image reaches the disk before it takes the old one's name.
            ok = ok && ::fsync(fd_.fd) == 0;
        }
        ok = fd_.Close() && ok;
        ok = ok && ::rename(temporary_.c_str(), target_.c_str()) == 0;
        if (!ok) return false;  // the destructor removes the new file
        temporary_.clear();
        if (replaced_) SyncDirectory(DirectoryOf(target_));
        return true;
    }

  private:
    std::string target_;
    std::string temporary_;  // empty once renamed
    Fd fd_;
    std::optional<struct stat> replaced_;
};

}  // namespace

std::unique_ptr<InputFile> OpenInputFile(const NativePath& path, InputStatus& status,
                                         int* systemError) {
    (void)systemError;  // TODO(i15): set where the system gives a reason
    status = InputStatus::OpenFailed;
    // Non-blocking, so that a FIFO without a writer (or a device that waits)
    // cannot stall the open; only regular files get past the check below.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return nullptr;
    Fd in(fd);
    struct stat st;
    if (::fstat(in.fd, &st) != 0) {
        status = InputStatus::ReadFailed;
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) return nullptr;
    const int flags = ::fcntl(in.fd, F_GETFL);
    if (flags < 0 || ::fcntl(in.fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        status = InputStatus::ReadFailed;
        return nullptr;
    }
#ifdef POSIX_FADV_SEQUENTIAL
    ::posix_fadvise(in.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    auto file = std::make_unique<PosixInput>(in.fd, st);
    in.fd = -1;
    status = InputStatus::Ok;
    return file;
}

std::unique_ptr<OutputFile> CreateOutputFile(const NativePath& path, TemporaryFileWatch* watch,
                                             int* systemError) {
    (void)watch;        // TODO(i15): tell it of the temporary file
    (void)systemError;  // TODO(i15): set where the system gives a reason
    const auto target = FollowLinks(path);
    if (!target) return nullptr;

    std::optional<struct stat> replaced;
    struct stat existing;
    if (::stat(target->c_str(), &existing) == 0) {
        // Only regular files are replaced: renaming over a device, pipe or
        // directory would destroy it rather than write to it.
        if (!S_ISREG(existing.st_mode)) return nullptr;
        // A file the caller could not open for writing is not replaced
        // either, though the folder would allow it.
        if (::faccessat(AT_FDCWD, target->c_str(), W_OK, AT_EACCESS) != 0) return nullptr;
        replaced = existing;
    }

    // A replacement starts private to the caller and takes the old file's
    // mode when it is committed; a new output gets the usual 0666 less umask.
    const mode_t mode = replaced ? 0600 : 0666;
    const std::string directory = DirectoryOf(*target);
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        std::string temporary = TemporaryName(directory, attempt);
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            return std::make_unique<PosixOutput>(*target, std::move(temporary), fd, replaced);
        }
        if (errno != EEXIST) break;
    }
    return nullptr;
}

std::optional<NativePath> ResolveOutputPath(const NativePath& path) {
    return FollowLinks(path);  // TODO(i15): the same rules as CreateOutputFile
}

std::string SystemErrorText(int systemError) {
    return std::strerror(systemError);  // TODO(i15): thread-safe form
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
