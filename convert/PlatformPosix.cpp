// File access for POSIX systems.
#include <fcntl.h>
#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif
#include <sys/stat.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <optional>
#include <vector>

#include "convert/Platform.h"
#include "convert/PosixWalk.h"

namespace sorvane {

namespace {

// Closes a descriptor when it goes out of scope.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(Fd&& other) noexcept : fd(other.fd) { other.fd = -1; }
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

std::string Joined(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// How the walk holds a folder: for lookups only where the system can (no
// read permission needed, as for a path's own lookup).
#ifdef O_PATH
constexpr int kFolderOpen = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kFolderOpen = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

int OpenFolderAt(int at, const char* name, bool follow) {
    return AboveStandardStreams(::openat(at, name, kFolderOpen | (follow ? 0 : O_NOFOLLOW)));
}

}  // namespace

namespace posix {

// The folder judged is the one held open, not whatever its name means now.
bool MayUse(int folder, uid_t owner) {
    struct stat dir;
    if (::fstat(folder, &dir) != 0) return false;
    const bool shared = (dir.st_mode & S_ISVTX) != 0 && (dir.st_mode & S_IWOTH) != 0;
    return !shared || owner == ::geteuid() || owner == dir.st_uid;
}

// The owner is judged on the folder opened, so a folder swapped in after
// the open cannot pass for the one judged.
int OpenFolderBeneath(int at, const char* name, bool forListing) {
    const int how = forListing ? O_RDONLY | O_DIRECTORY | O_CLOEXEC : kFolderOpen;
    Fd inner(AboveStandardStreams(::openat(at, name, how | O_NOFOLLOW)));
    struct stat st;
    if (inner.fd < 0 || ::fstat(inner.fd, &st) != 0) return -1;
    if (!MayUse(at, st.st_uid)) {
        errno = EACCES;
        return -1;
    }
    const int fd = inner.fd;
    inner.fd = -1;
    return fd;
}

}  // namespace posix

namespace {

// Where a path leads: the folder that holds its last name, held open, and
// that name. Every folder on the way is opened from the one before by one
// name, never by a path, so a name swapped meanwhile for a link cannot lead
// elsewhere; every symbolic link on the way is resolved here (the last one
// too, even when it leads nowhere), so that the file a link points at is
// replaced, not the link, and so that links in shared sticky folders can be
// judged (posix::MayUse) against the folder they were found in.
struct Walked {
    Fd folder{-1};     // holds `leaf`; -1 when `error` is set
    std::string leaf;  // empty when the path ends at a folder
    std::string path;  // the path with every link resolved (names no link but procfs's own)
    int error = 0;     // why nothing can be made at the path (ENOENT, ENOTDIR...)
};

// The walk's rules, each apart from the loop in Walk() that applies them.

// Puts the names of `names` (split at its slashes) first in `todo`.
void PushNames(std::deque<std::string>& todo, const std::string& names) {
    std::deque<std::string> parts;
    for (std::size_t at = 0; at <= names.size();) {
        const std::size_t end = std::min(names.find('/', at), names.size());
        if (end > at) parts.emplace_back(names, at, end - at);
        at = end + 1;
    }
    todo.insert(todo.begin(), parts.begin(), parts.end());
}

// Moves the walk into the folder open on `inner`, found as `name`.
void Enter(Walked& w, Fd& inner, const std::string& name) {
    std::swap(inner.fd, w.folder.fd);
    w.path = Joined(w.path, name);
    w.leaf.clear();
}

// "..": the held folder's own parent. `path` holds folders only, none of
// them a link: ".." is the one before, except above the start of a relative
// path, where it stays a "..".
bool StepUp(Walked& w) {
    Fd parent(OpenFolderAt(w.folder.fd, "..", false));
    if (parent.fd < 0) return false;
    std::swap(parent.fd, w.folder.fd);
    w.leaf.clear();
    const auto slash = w.path.find_last_of('/');
    const std::string last = slash == std::string::npos ? w.path : w.path.substr(slash + 1);
    if (w.path == "/") return true;
    if (w.path.empty() || last == "..") {
        w.path = Joined(w.path, "..");
    } else {
        w.path.erase(slash == std::string::npos ? 0 : slash == 0 ? 1 : slash);
    }
    return true;
}

// Depth: a missing folder is made (mkdirat) for the walk to enter next, at
// any depth. A name made meanwhile by another (EEXIST) is entered as any
// folder found there; `tries` counts the makes of one name, so that a name
// removed each time it is made cannot hold the walk forever.
bool MakeFolder(int folder, const std::string& name, mode_t mode, int& tries) {
    if (++tries > 100) {
        errno = ENOENT;
        return false;
    }
    return ::mkdirat(folder, name.c_str(), mode) == 0 || errno == EEXIST;
}

// Magic links: a link in procfs (/proc/PID/root, /proc/PID/cwd,
// /proc/self/fd/N) is followed by the kernel, not by its text, which names
// the place as its own process sees it (a container's root reads "/"). 1
// when the walk entered the folder it leads to, 0 when `name` is no such
// link to a folder (its text is then taken as any link's), -1 on failure.
int EnterMagicLink(Walked& w, const std::string& name) {
#if defined(__linux__) && defined(PROC_SUPER_MAGIC)
    struct statfs where;
    if (::fstatfs(w.folder.fd, &where) != 0) return -1;
    if (where.f_type != PROC_SUPER_MAGIC) return 0;
    Fd inner(OpenFolderAt(w.folder.fd, name.c_str(), true));
    if (inner.fd < 0) return errno == ENOTDIR || errno == ENOENT ? 0 : -1;
    Enter(w, inner, name);
    return 1;
#else
    (void)w;
    (void)name;
    return 0;
#endif
}

// The text of the link `name` (of `st`) in the folder open on `folder`; no
// value with errno set when it cannot be read, changed meanwhile or is empty.
std::optional<std::string> LinkText(int folder, const std::string& name, const struct stat& st) {
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    const ssize_t n = ::readlinkat(folder, name.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) {
        if (n >= 0) errno = ENOENT;
        return std::nullopt;
    }
    target.resize(static_cast<std::size_t>(n));
    return target;
}

// The walk stops at the first name that does not exist or is not a folder;
// the rest is kept as given in `path`, and `error` says why no file can be
// made there. With `makeFolders` a missing folder is made (mkdirat, with
// that mode less the umask) and walked into. No value, with `error` set, for
// a name another user planted in a shared sticky folder (EACCES), more than
// 40 links (ELOOP), an unreadable link or a folder that cannot be opened.
std::optional<Walked> Walk(const std::string& path, int& error,
                           std::optional<mode_t> makeFolders = std::nullopt) {
    std::deque<std::string> todo;  // the names still to walk
    PushNames(todo, path);
    const bool absolute = !path.empty() && path.front() == '/';
    Walked w;
    w.path = absolute ? "/" : "";  // holds no link
    w.folder.fd = OpenFolderAt(AT_FDCWD, absolute ? "/" : ".", true);
    bool walking = true;  // false once a name is missing or not a folder
    bool missing = false;
    int links = 0, made = 0, retries = 0;
    const auto fail = [&error](int code) {
        error = code;
        return std::nullopt;
    };
    const auto stop = [&](const std::string& name, bool isMissing) {
        walking = false;
        missing = isMissing;
        w.leaf = name;
        w.path = Joined(w.path, name);
    };
    if (w.folder.fd < 0) return fail(errno);
    while (!todo.empty()) {
        const std::string name = std::move(todo.front());
        todo.pop_front();
        if (!walking) {
            // Nothing can be made beneath a name that is missing or no folder.
            w.error = missing ? ENOENT : ENOTDIR;
            w.path = Joined(w.path, name);
            continue;
        }
        if (name == ".") continue;
        if (name == "..") {
            if (!StepUp(w)) return fail(errno);
            continue;
        }
        // A folder is opened without following, and judged once open.
        Fd inner(posix::OpenFolderBeneath(w.folder.fd, name.c_str(), false));
        if (inner.fd >= 0) {
            Enter(w, inner, name);
            made = 0;
            continue;
        }
        if (errno == ENOENT && makeFolders) {
            if (!MakeFolder(w.folder.fd, name, *makeFolders, made)) return fail(errno);
            todo.push_front(name);  // walked into as any folder found there
            continue;
        }
        if (errno == ENOENT) {
            stop(name, true);
            continue;
        }
        struct stat st;
        if ((errno != ENOTDIR && errno != ELOOP) ||
            ::fstatat(w.folder.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return fail(errno);
        if (S_ISDIR(st.st_mode)) {
            // A link swapped back for a folder meanwhile: looked at again.
            if (++retries >= 100) return fail(ELOOP);
            todo.push_front(name);
            continue;
        }
        if (!S_ISLNK(st.st_mode)) {
            stop(name, false);
            continue;
        }
        if (!posix::MayUse(w.folder.fd, st.st_uid)) return fail(EACCES);
        if (++links > 40) return fail(ELOOP);
        const int magic = EnterMagicLink(w, name);
        if (magic < 0) return fail(errno);
        if (magic > 0) continue;
        const std::optional<std::string> target = LinkText(w.folder.fd, name, st);
        if (!target) return fail(errno);
        if (target->front() == '/') {
            Fd root(OpenFolderAt(AT_FDCWD, "/", true));
            if (root.fd < 0) return fail(errno);
            std::swap(root.fd, w.folder.fd);
            w.path.assign(1, '/');
        }
        PushNames(todo, *target);
    }
    if (w.path.empty()) w.path.assign(1, '.');
    // A name given with a slash at its end stays a folder's name (no file
    // is made or replaced under it).
    if (path.size() > 1 && path.back() == '/') {
        if (w.path.back() != '/') w.path += '/';
        if (!w.leaf.empty() && w.error == 0) w.error = missing ? ENOENT : ENOTDIR;
    }
    return w;
}

// A name for the new file beside the target. It is short whatever the
// target's name, so it fits wherever the target's name does; the open uses
// O_EXCL and tries another name if it collides.
std::string TemporaryName(unsigned attempt) {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    const unsigned long long mix =
        (static_cast<unsigned long long>(ts.tv_nsec) ^
         (static_cast<unsigned long long>(::getpid()) << 30) ^
         (reinterpret_cast<std::uintptr_t>(&ts) >> 4) ^ (attempt * 0x9E3779B97F4A7C15ull)) &
        0xFFFFFFFFFFFFull;
    char name[32];
    std::snprintf(name, sizeof name, ".bmpvintage-%012llx.tmp", mix);
    return name;
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

    unsigned NewOutputMode() const override { return opened_.st_mode & 0666u; }

    int fd() const { return fd_.fd; }

  private:
    Fd fd_;
    struct stat opened_;
    int error_ = 0;
};

// How a replaced file is held for its extended attributes: without opening
// it for reading, which its permission bits may not allow.
#ifdef O_PATH
constexpr int kHoldOpen = O_PATH | O_NOFOLLOW | O_CLOEXEC;
#else
constexpr int kHoldOpen = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
#endif

// Copies the extended attributes of the file held on `from` (among them the
// POSIX ACL) to the open file `to`, whatever the caller may read of it: a
// descriptor that cannot list them (O_PATH, before Linux 6.13) is read
// through its /proc/self/fd name. 0, or the error of a list or read that
// failed; a file system without extended attributes has none to copy.
// Those the caller may not set (trusted.*, some security.* ones) are left
// behind.
int CopyExtendedAttributes(int from, int to) {
    char held[48];
    std::snprintf(held, sizeof held, "/proc/self/fd/%d", from);
    bool byName = false;
    const auto list = [&](char* names, std::size_t size) {
        ssize_t n = byName ? -1 : ::flistxattr(from, names, size);
        if (n < 0 && (byName || errno == EBADF)) {
            byName = true;
            n = ::listxattr(held, names, size);
        }
        return n;
    };
    const auto get = [&](const char* name, void* value, std::size_t size) {
        return byName ? ::getxattr(held, name, value, size) : ::fgetxattr(from, name, value, size);
    };
    const ssize_t listSize = list(nullptr, 0);
    if (listSize < 0) return errno == ENOTSUP || errno == EOPNOTSUPP ? 0 : errno;
    std::vector<char> names(static_cast<std::size_t>(listSize));
    const ssize_t got = listSize == 0 ? 0 : list(names.data(), names.size());
    if (got < 0) return errno;
    std::vector<char> value;
    for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
        const char* name = names.data() + at;
        at += std::strlen(name) + 1;
        const ssize_t valueSize = get(name, nullptr, 0);
        if (valueSize >= 0) value.resize(static_cast<std::size_t>(valueSize));
        const ssize_t n = valueSize < 0 ? -1 : get(name, value.data(), value.size());
        if (n < 0) return errno;
        ::fsetxattr(to, name, value.data(), static_cast<std::size_t>(n), 0);
    }
    return 0;
}

// Makes a rename in a folder durable, on `sync` as HoldForSync() left it:
// the folder (fsync), else the new file (syncfs on its file system), else
// nothing. The rename has happened: whatever this meets, the output is
// replaced, so nothing here fails the call.
void SyncAfterRename(int sync) {
    struct stat st;
    if (sync < 0 || ::fstat(sync, &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        ::fsync(sync);
    } else {
        ::syncfs(sync);
    }
}

// Whether a file is as it was seen: the same file (device and inode) with
// the same size and times. Any write, truncation or change of its
// attributes or links moves its change time.
bool SameState(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           SameTime(a.st_mtim, b.st_mtim) && SameTime(a.st_ctim, b.st_ctim);
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

// Works on the folder the walk held and the output's name in it only: no
// step looks the output's path up again.
class PosixOutput final : public OutputFile {
  public:
    PosixOutput(Walked&& walked, std::optional<struct stat> replaced, mode_t newMode,
                TemporaryFileWatch* watch, bool noClobber)
        : folder_(walked.folder.fd),
          leaf_(std::move(walked.leaf)),
          replaced_(replaced),
          newMode_(newMode),
          watch_(watch),
          noClobber_(noClobber) {
        walked.folder.fd = -1;
    }

    ~PosixOutput() override {
        if (!temporary_.empty()) {
            if (fd_.fd >= 0) fd_.Close();
            if (watch_ != nullptr) watch_->BeforeSettle(folder_.fd, temporary_);
            const bool gone = ::unlinkat(folder_.fd, temporary_.c_str(), 0) == 0;
            if (watch_ != nullptr) watch_->Settled(folder_.fd, temporary_, gone);
        }
    }

    // Makes the new file beside the target.
    bool Create() {
        // A replacement starts private to the caller and takes the old
        // file's mode when it is committed; a new output gets `newMode`
        // less the umask (applied by the kernel).
        const mode_t mode = replaced_ ? 0600 : newMode_;
        for (unsigned attempt = 0; attempt < 100; ++attempt) {
            std::string temporary = TemporaryName(attempt);
            if (watch_ != nullptr) watch_->BeforeCreate();
            const int fd = ::openat(folder_.fd, temporary.c_str(),
                                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
            fd_.fd = AboveStandardStreams(fd);
            if (fd_.fd >= 0) temporary_ = std::move(temporary);
            if (watch_ != nullptr)
                watch_->AfterCreate(folder_.fd, fd_.fd >= 0 ? &temporary_ : nullptr);
            if (fd_.fd >= 0) {
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
        SyncAfterRename(sync_.fd);
        return true;
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
            // Held by its name in the held folder: it must be the file seen.
            Fd old(AboveStandardStreams(::openat(folder_.fd, leaf_.c_str(), kHoldOpen)));
            struct stat st;
            if (old.fd < 0 && errno == ENOENT) return false;  // gone since: kept so
            if (old.fd < 0 || ::fstat(old.fd, &st) != 0) return Failed();
            if (!SameState(st, *replaced_)) return false;
            if ((error_ = CopyExtendedAttributes(old.fd, fd_.fd)) != 0) return false;
            // The image reaches the disk before it takes the old one's name.
            if (::fsync(fd_.fd) != 0) return Failed();
            HoldForSync();
        }
        if (!fd_.Close()) return Failed();
        // The name must still hold what was seen when the conversion began:
        // the same file, neither written nor changed since (by another
        // program, or another conversion), or still nothing. A newer file
        // is kept.
        struct stat now;
        const bool there = ::fstatat(folder_.fd, leaf_.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0;
        if (!there && errno != ENOENT) return Failed();
        if (there != replaced_.has_value() || (there && !SameState(now, *replaced_))) {
            error_ = replaced_ ? 0 : EEXIST;
            return false;
        }
        // The watch keeps the file until its name is gone, and may hold
        // signals off meanwhile: an interruption either removes it or
        // leaves the output in place, never the file on its own.
        if (watch_ != nullptr) watch_->BeforeSettle(folder_.fd, temporary_);
        const bool moved = Rename();
        const int error = errno;
        if (watch_ != nullptr) watch_->Settled(folder_.fd, temporary_, moved);
        errno = error;
        return moved || Failed();
    }

    bool Rename() {
#ifdef RENAME_NOREPLACE
        // A new output takes a name only while it is free: no file that
        // appears after the check above is lost either.
        if (!replaced_) {
            if (::renameat2(folder_.fd, temporary_.c_str(), folder_.fd, leaf_.c_str(),
                            RENAME_NOREPLACE) == 0)
                return true;
            if (errno != EINVAL && errno != ENOSYS) return false;
        }
#endif
        if (noClobber_) {
            // Where the file system cannot rename without replacing: a link
            // under the name fails if the name is taken, then the temporary
            // name goes.
            if (::linkat(folder_.fd, temporary_.c_str(), folder_.fd, leaf_.c_str(), 0) != 0)
                return false;
            ::unlinkat(folder_.fd, temporary_.c_str(), 0);
            return true;
        }
        return ::renameat(folder_.fd, temporary_.c_str(), folder_.fd, leaf_.c_str()) == 0;
    }

    bool Failed() {
        error_ = errno;
        return false;
    }

    // Opens, before the rename, what SyncAfterRename() will sync: the folder
    // where it can be read, else the new file for its file system (a -wx
    // folder, no descriptor left), else nothing.
    void HoldForSync() {
        sync_.fd =
            AboveStandardStreams(::openat(folder_.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (sync_.fd < 0) sync_.fd = ::fcntl(fd_.fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    }

    Fd folder_;
    std::string leaf_;
    std::string temporary_;  // empty once renamed (or never made)
    Fd fd_{-1};
    std::optional<struct stat> replaced_;  // the output as seen when prepared
    mode_t newMode_;                       // a new output's, before the umask
    Fd sync_{-1};                          // what syncs the rename (HoldForSync)
    TemporaryFileWatch* watch_;
    bool noClobber_;
    int error_ = 0;
};

// An open descriptor as an input: only a regular file, read from its start.
std::unique_ptr<InputFile> InputFromDescriptor(int fd, InputStatus& status, int& error) {
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

// Non-blocking, so that a FIFO without a writer (or a device that waits)
// cannot stall the open; only regular files get past InputFromDescriptor.
constexpr int kInputOpen = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

}  // namespace

std::unique_ptr<InputFile> OpenInputFile(const NativePath& path, InputStatus& status,
                                         int* systemError) {
    int unused = 0;
    int& error = systemError != nullptr ? *systemError : unused;
    error = 0;
    status = InputStatus::OpenFailed;
    return InputFromDescriptor(AboveStandardStreams(::open(path.c_str(), kInputOpen)), status,
                               error);
}

std::unique_ptr<InputFile> OpenInputFileBeneath(const NativePath& root, const NativePath& relative,
                                                InputStatus& status, int* systemError) {
    int unused = 0;
    int& error = systemError != nullptr ? *systemError : unused;
    error = 0;
    status = InputStatus::OpenFailed;
    Fd folder(OpenFolderAt(AT_FDCWD, root.c_str(), true));
    if (folder.fd < 0 || relative.empty() || relative.front() == '/') {
        error = folder.fd < 0 ? errno : ENOENT;
        return nullptr;
    }
#if defined(SYS_openat2) && defined(RESOLVE_NO_SYMLINKS)
    // The kernel walks the names itself, following no link and leaving no
    // room for a "..".
    open_how how{};
    how.flags = kInputOpen;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, folder.fd, relative.c_str(), &how, sizeof how);
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM))
        return InputFromDescriptor(AboveStandardStreams(static_cast<int>(fd)), status, error);
#endif
    // One name at a time, none of them a link, ".." or ".".
    std::size_t at = 0;
    for (std::size_t slash; (slash = relative.find('/', at)) != NativePath::npos; at = slash + 1) {
        const std::string name = relative.substr(at, slash - at);
        if (name.empty() || name == "." || name == "..") {
            error = EINVAL;
            return nullptr;
        }
        Fd inner(OpenFolderAt(folder.fd, name.c_str(), false));
        struct stat st;
        if (inner.fd < 0) {
            error = errno == ENOTDIR &&
                            ::fstatat(folder.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                            S_ISLNK(st.st_mode)
                        ? ELOOP
                        : errno;
            return nullptr;
        }
        std::swap(inner.fd, folder.fd);
    }
    const std::string leaf = relative.substr(at);
    if (leaf == "." || leaf == "..") {
        error = EINVAL;
        return nullptr;
    }
    return InputFromDescriptor(
        AboveStandardStreams(::openat(folder.fd, leaf.c_str(), kInputOpen | O_NOFOLLOW)), status,
        error);
}

std::unique_ptr<OutputFile> CreateOutputFile(const NativePath& path, TemporaryFileWatch* watch,
                                             int* systemError, const InputFile* sameFileAs,
                                             unsigned newMode, bool noClobber) {
    int unused = 0;
    int& error = systemError != nullptr ? *systemError : unused;
    error = 0;
    // The name itself, not where a link there leads: a link is an output too.
    struct stat named;
    if (noClobber && ::fstatat(AT_FDCWD, path.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0) {
        error = EEXIST;
        return nullptr;
    }
    std::optional<Walked> walked = Walk(path, error);
    if (!walked) return nullptr;
    if (walked->error != 0 || walked->leaf.empty()) {
        error = walked->leaf.empty() ? EISDIR : walked->error;
        return nullptr;
    }
    const int folder = walked->folder.fd;
    const char* const leaf = walked->leaf.c_str();
    std::optional<struct stat> replaced;
    struct stat existing;
    if (::fstatat(folder, leaf, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        // Taken since the look at the name above.
        if (noClobber) {
            error = EEXIST;
            return nullptr;
        }
        // Nor one another user planted in a shared sticky folder.
        if (!posix::MayUse(folder, existing.st_uid)) {
            error = EACCES;
            return nullptr;
        }
        // Only regular files are replaced: renaming over a device, pipe or
        // directory would destroy it rather than write to it (and a link
        // there now was put there since the walk).
        if (!S_ISREG(existing.st_mode)) {
            error = S_ISDIR(existing.st_mode) ? EISDIR : 0;
            return nullptr;
        }
        // A file the caller could not open for writing is not replaced
        // either, though the folder would allow it.
        if (::faccessat(folder, leaf, W_OK, AT_EACCESS) != 0) {
            error = errno;
            return nullptr;
        }
        replaced = existing;
    } else if (errno != ENOENT) {
        error = errno;
        return nullptr;
    }
    if (sameFileAs != nullptr) {
        // The name must lead to the open input itself; Commit() checks again
        // that it still holds that file.
        const auto* in = dynamic_cast<const PosixInput*>(sameFileAs);
        struct stat st;
        if (!replaced || in == nullptr || ::fstat(in->fd(), &st) != 0 ||
            st.st_dev != existing.st_dev || st.st_ino != existing.st_ino) {
            error = replaced ? 0 : ENOENT;
            return nullptr;
        }
    }
    auto out = std::make_unique<PosixOutput>(std::move(*walked), replaced,
                                             static_cast<mode_t>(newMode & 0666), watch, noClobber);
    if (!out->Create()) {
        error = out->SystemError();
        return nullptr;
    }
    return out;
}

std::optional<NativePath> ResolveOutputPath(const NativePath& path) {
    int error = 0;
    std::optional<Walked> walked = Walk(path, error);
    if (!walked) return std::nullopt;
    return std::move(walked->path);
}

int MakeOutputFolders(const NativePath& path, unsigned mode) {
    int error = 0;
    const std::optional<Walked> walked = Walk(path, error, static_cast<mode_t>(mode & 07777));
    if (!walked) return error;
    if (walked->error != 0) return walked->error;
    return walked->leaf.empty() ? 0 : ENOTDIR;
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

}  // namespace sorvane
