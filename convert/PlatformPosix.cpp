// File access for POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
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

// Moves a descriptor the library keeps open off 0, 1 and 2. A host that
// closed its standard streams must not find its own lines (or another
// thread's) written into an output, nor read away an input's bytes.
int AboveStandardStreams(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int error = errno;
    ::close(fd);
    errno = error;
    return moved;
}

// Whether a symbolic link owned by `linkOwner` in the folder `folder` may be
// followed. In a world-writable sticky folder (/tmp) anyone may plant a link
// under a name another user is about to write; such a link is followed only
// when its owner is the caller or the folder's owner, as the kernel does
// with fs.protected_symlinks, whatever that setting says.
bool MayFollow(const std::string& folder, uid_t linkOwner) {
    struct stat dir;
    if (::stat(folder.empty() ? "." : folder.c_str(), &dir) != 0) return false;
    const bool shared = (dir.st_mode & S_ISVTX) != 0 && (dir.st_mode & S_IWOTH) != 0;
    return !shared || linkOwner == ::geteuid() || linkOwner == dir.st_uid;
}

std::string Joined(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// The path the output's file has: every symbolic link on the way resolved,
// the last one too (even when it leads nowhere), so that the file a link
// points at is replaced, not the link. Resolved here rather than by the
// kernel so that the links in shared sticky folders can be judged
// (MayFollow) and the result names no link. The walk stops at the first
// name that does not exist or is not a folder; the rest is kept as given
// (opening it then fails as it should). No value, with `error` set, for a
// link that may not be followed (EACCES), more than 40 links (ELOOP) or an
// unreadable one.
std::optional<std::string> ResolveLinks(const std::string& path, int& error) {
    std::deque<std::string> todo;  // the names still to walk
    const auto push = [&todo](const std::string& names) {
        std::deque<std::string> parts;
        for (std::size_t at = 0; at <= names.size();) {
            const std::size_t end = std::min(names.find('/', at), names.size());
            if (end > at) parts.emplace_back(names, at, end - at);
            at = end + 1;
        }
        todo.insert(todo.begin(), parts.begin(), parts.end());
    };
    push(path);
    std::string done = !path.empty() && path.front() == '/' ? "/" : "";  // holds no link
    bool walking = true;  // false once a name is missing or not a folder
    int links = 0;
    while (!todo.empty()) {
        const std::string name = std::move(todo.front());
        todo.pop_front();
        if (walking && name == ".") continue;
        if (walking && name == "..") {
            // `done` holds folders only, none of them a link: ".." is the
            // one before, except above the start of a relative path.
            const auto slash = done.find_last_of('/');
            const std::string last = slash == std::string::npos ? done : done.substr(slash + 1);
            if (done == "/") continue;
            if (done.empty() || last == "..") {
                done = Joined(done, "..");
            } else {
                done.erase(slash == std::string::npos ? 0 : slash == 0 ? 1 : slash);
            }
            continue;
        }
        const std::string next = Joined(done, name);
        struct stat st;
        const bool found = walking && ::lstat(next.c_str(), &st) == 0;
        if (!found || !S_ISLNK(st.st_mode)) {
            walking = found && S_ISDIR(st.st_mode);
            done = next;
            continue;
        }
        if (!MayFollow(done, st.st_uid)) {
            error = EACCES;
            return std::nullopt;
        }
        if (++links > 40) {
            error = ELOOP;
            return std::nullopt;
        }
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        const ssize_t n = ::readlink(next.c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) {
            error = n < 0 ? errno : ENOENT;  // changed meanwhile, or empty
            return std::nullopt;
        }
        target.resize(static_cast<std::size_t>(n));
        if (target.front() == '/') done.assign(1, '/');
        push(target);
    }
    if (done.empty()) done.assign(1, '.');
    // A name given with a slash at its end stays a folder's name (no file
    // is made or replaced under it).
    if (path.size() > 1 && path.back() == '/' && done.back() != '/') done += '/';
    return done;
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
            if (errno != EINTR) {
                error_ = errno;
                return -1;
            }
        }
    }

    // Any write, truncation or extension moves the modification and change
    // times (and a truncation or extension the size). Another file renamed
    // over this one's name takes a link from it, which moves the change time
    // too and lowers the link count.
    bool Unchanged() override {
        struct stat now;
        if (::fstat(fd_.fd, &now) != 0) {
            error_ = errno;
            return false;
        }
        return now.st_size == opened_.st_size && now.st_nlink == opened_.st_nlink &&
               SameTime(now.st_mtim, opened_.st_mtim) && SameTime(now.st_ctim, opened_.st_ctim);
    }

    int SystemError() const override { return error_; }

    int fd() const { return fd_.fd; }

  private:
    Fd fd_;
    struct stat opened_;
    int error_ = 0;
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

// Makes a rename in `directory` durable. A file system that cannot sync a
// folder says so with EINVAL (or ENOTSUP); that is no failure. Sets
// `error` and gives false on any other.
bool SyncDirectory(const std::string& directory, int& error) {
    Fd dir(AboveStandardStreams(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
    if (dir.fd < 0 || ::fsync(dir.fd) != 0) {
        if (dir.fd >= 0 && (errno == EINVAL || errno == ENOTSUP || errno == EOPNOTSUPP))
            return true;
        error = errno;
        return false;
    }
    return true;
}

// What is at `path` itself (a link is not followed): a file's device and
// inode, or nothing.
struct Identity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const Identity&) const = default;
};

Identity IdentityOf(const struct stat& st) {
    return {true, st.st_dev, st.st_ino};
}

// How a failed copy_file_range ends the copy: before any byte has moved, a
// kernel or file system that cannot copy between these two files leaves the
// copy to the caller; an I/O error is the input's (a write error would say
// ENOSPC, EFBIG, EDQUOT...).
PassThrough CopyFailure(int error, bool first) {
    if (first && (error == EXDEV || error == ENOSYS || error == EINVAL || error == EOPNOTSUPP ||
                  error == EBADF))
        return PassThrough::NotOffered;
    return error == EIO ? PassThrough::ReadFailed : PassThrough::WriteFailed;
}

class PosixOutput final : public OutputFile {
  public:
    PosixOutput(std::string target, std::optional<struct stat> replaced, TemporaryFileWatch* watch)
        : target_(std::move(target)),
          replaced_(replaced),
          checked_(replaced ? IdentityOf(*replaced) : Identity{}),
          watch_(watch) {}

    ~PosixOutput() override {
        if (!temporary_.empty()) {
            if (fd_.fd >= 0) fd_.Close();
            if (watch_ != nullptr && !toldGone_) watch_->Gone(-1, temporary_);
            ::unlink(temporary_.c_str());
        }
    }

    // Makes the new file beside the target.
    bool Create() {
        // A replacement starts private to the caller and takes the old
        // file's mode when it is committed; a new output gets the usual 0666
        // less umask.
        const mode_t mode = replaced_ ? 0600 : 0666;
        const std::string directory = DirectoryOf(target_);
        for (unsigned attempt = 0; attempt < 100; ++attempt) {
            std::string temporary = TemporaryName(directory, attempt);
            if (watch_ != nullptr) watch_->BeforeCreate();
            const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
            fd_.fd = AboveStandardStreams(fd);
            if (watch_ != nullptr) watch_->AfterCreate(-1, fd_.fd >= 0 ? &temporary : nullptr);
            if (fd_.fd >= 0) {
                temporary_ = std::move(temporary);
                // While the file held 0-2, another thread may have written
                // its line into it: a new file has nothing of its own yet.
                struct stat st;
                if (fd <= STDERR_FILENO && ::fstat(fd_.fd, &st) == 0 && st.st_size != 0 &&
                    (::ftruncate(fd_.fd, 0) != 0 || ::lseek(fd_.fd, 0, SEEK_SET) != 0)) {
                    error_ = errno;
                    return false;
                }
                return true;
            }
            error_ = errno;
            if (error_ != EEXIST) break;
        }
        return false;
    }

    int SystemError() const override { return error_; }

    bool Write(std::span<const std::uint8_t> bytes) override {
        if (WriteFully(fd_.fd, bytes.data(), bytes.size())) return true;
        error_ = errno;
        return false;
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
                const PassThrough failed = CopyFailure(errno, first);
                if (failed != PassThrough::NotOffered) error_ = errno;
                return failed;
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
        if (!Finish()) return false;  // the destructor removes the new file
        temporary_.clear();
        // The rename has happened: a folder that fails to sync leaves the
        // new image in place, not known to be on the disk.
        return !replaced_ || SyncDirectory(DirectoryOf(target_), error_);
    }

  private:
    // Everything up to and including the rename; false (with error_ set
    // where a call failed) leaves the target as it was.
    bool Finish() {
        if (replaced_) {
            // The owner first: a change of owner clears the mode's special bits.
            if (::fchown(fd_.fd, replaced_->st_uid, replaced_->st_gid) != 0) {
                // Only the group, where the caller belongs to it; else the
                // caller's own, as for any file it creates.
                if (::fchown(fd_.fd, static_cast<uid_t>(-1), replaced_->st_gid) != 0) {
                }
            }
            if (::fchmod(fd_.fd, replaced_->st_mode & 07777 & ~mode_t{S_ISUID | S_ISGID}) != 0)
                return Failed();
            CopyExtendedAttributes(target_, fd_.fd);
            // The image reaches the disk before it takes the old one's name.
            if (::fsync(fd_.fd) != 0) return Failed();
        }
        if (!fd_.Close()) return Failed();
        // The name must still hold what was checked when the conversion
        // began: a file saved there since (by another program, or another
        // conversion) is newer than this one's input, and is kept.
        struct stat now;
        Identity there;
        if (::lstat(target_.c_str(), &now) == 0) {
            there = IdentityOf(now);
        } else if (errno != ENOENT) {
            return Failed();
        }
        if (!(there == checked_)) {
            error_ = checked_.exists ? 0 : EEXIST;
            return false;
        }
        // From here the file is no longer one to remove when interrupted.
        if (watch_ != nullptr) watch_->Gone(-1, temporary_);
        toldGone_ = true;
#ifdef RENAME_NOREPLACE
        // A new output takes a name only while it is free: no file that
        // appears after the check above is lost either.
        if (!replaced_) {
            if (::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, target_.c_str(),
                            RENAME_NOREPLACE) == 0)
                return true;
            if (errno != EINVAL && errno != ENOSYS) return Failed();
        }
#endif
        return ::rename(temporary_.c_str(), target_.c_str()) == 0 || Failed();
    }

    bool Failed() {
        error_ = errno;
        return false;
    }

    std::string target_;
    std::string temporary_;  // empty once renamed (or never made)
    Fd fd_{-1};
    std::optional<struct stat> replaced_;
    Identity checked_;  // what was at target_ when the output was prepared
    TemporaryFileWatch* watch_;
    bool toldGone_ = false;
    int error_ = 0;
};

}  // namespace

std::unique_ptr<InputFile> OpenInputFile(const NativePath& path, InputStatus& status,
                                         int* systemError) {
    int unused = 0;
    int& error = systemError != nullptr ? *systemError : unused;
    error = 0;
    status = InputStatus::OpenFailed;
    // Non-blocking, so that a FIFO without a writer (or a device that waits)
    // cannot stall the open; only regular files get past the check below.
    const int fd =
        AboveStandardStreams(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    Fd in(fd);
    struct stat st;
    if (::fstat(in.fd, &st) != 0) {
        error = errno;
        status = InputStatus::ReadFailed;
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        // What reading it as a file would meet.
        error = S_ISDIR(st.st_mode) ? EISDIR : 0;
        return nullptr;
    }
    const int flags = ::fcntl(in.fd, F_GETFL);
    if (flags < 0 || ::fcntl(in.fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        error = errno;
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
                                             int* systemError, const InputFile* sameFileAs) {
    (void)sameFileAs;  // placeholder: not yet checked
    int unused = 0;
    int& error = systemError != nullptr ? *systemError : unused;
    error = 0;
    const auto target = ResolveLinks(path, error);
    if (!target) return nullptr;

    std::optional<struct stat> replaced;
    struct stat existing;
    // The resolved name is no link (lstat and stat agree); lstat keeps it so
    // should a link have been put there since.
    if (::lstat(target->c_str(), &existing) == 0) {
        // Only regular files are replaced: renaming over a device, pipe or
        // directory would destroy it rather than write to it.
        if (!S_ISREG(existing.st_mode)) {
            error = S_ISDIR(existing.st_mode) ? EISDIR : 0;
            return nullptr;
        }
        // A file the caller could not open for writing is not replaced
        // either, though the folder would allow it.
        if (::faccessat(AT_FDCWD, target->c_str(), W_OK, AT_EACCESS) != 0) {
            error = errno;
            return nullptr;
        }
        replaced = existing;
    }
    auto out = std::make_unique<PosixOutput>(*target, replaced, watch);
    if (!out->Create()) {
        error = out->SystemError();
        return nullptr;
    }
    return out;
}

std::optional<NativePath> ResolveOutputPath(const NativePath& path) {
    int error = 0;
    return ResolveLinks(path, error);
}

namespace {

// strerror_r comes in two forms: the XSI one returns a status and fills the
// buffer, the GNU one returns the text (not always in the buffer).
[[maybe_unused]] std::string ErrorText(int result, const char* buffer) {
    return result == 0 ? buffer : "";
}
[[maybe_unused]] std::string ErrorText(const char* result, const char*) {
    return result != nullptr ? result : "";
}

}  // namespace

std::string SystemErrorText(int systemError) {
    char buffer[256] = "";
    std::string text = ErrorText(::strerror_r(systemError, buffer, sizeof buffer), buffer);
    return text.empty() ? "Unknown error " + std::to_string(systemError) : text;
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

// Placeholders until the held-folder walk lands: they behave as before.
std::unique_ptr<InputFile> OpenInputFileBeneath(const NativePath& root, const NativePath& relative,
                                                InputStatus& status, int* systemError) {
    return OpenInputFile(root + NativePath(1, '/') + relative, status, systemError);
}

int MakeOutputFolders(const NativePath& path) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path), ec);
    return ec.value();
}

}  // namespace sorvane
