// File access for Windows: every file is opened by its wide path, so no name
// passes through a code-page conversion, and in its `\\?\` form, so that no
// path is too long.
#include <windows.h>
// after <windows.h>
#include <io.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "convert/Platform.h"

namespace sorvane {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct Handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    explicit Handle(HANDLE v) : h(v) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    bool Valid() const { return h != INVALID_HANDLE_VALUE; }
    // Closes now and reports whether the close succeeded.
    bool Close() {
        const HANDLE v = h;
        h = INVALID_HANDLE_VALUE;
        return v != INVALID_HANDLE_VALUE && CloseHandle(v) != 0;
    }
};

bool WriteFully(HANDLE h, const std::uint8_t* from, std::size_t n) {
    while (n > 0) {
        const DWORD chunk = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n);
        DWORD w = 0;
        if (!WriteFile(h, from, chunk, &w, nullptr) || w == 0) return false;
        from += w;
        n -= w;
    }
    return true;
}

// The folder of a full path, with its last backslash ("" for a bare name,
// which is then made in the current folder, beside that name).
std::wstring FolderOf(const std::wstring& path) {
    const auto slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

// A name for a new file in `folder`. It is short whatever the output's name,
// so it fits wherever that name does (GetTempFileNameW would cap the folder
// at MAX_PATH); the file is made with CREATE_NEW, and another name is tried
// if it collides.
std::wstring TemporaryName(const std::wstring& folder, unsigned attempt) {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    std::uint64_t mix = static_cast<std::uint64_t>(now.QuadPart) ^
                        (std::uint64_t{GetCurrentProcessId()} << 32) ^ GetCurrentThreadId() ^
                        (attempt * 0x9E3779B97F4A7C15ull);
    // A few rounds of xor-shift-multiply, so that near counts differ everywhere.
    mix ^= mix >> 31;
    mix *= 0xBF58476D1CE4E5B9ull;
    mix ^= mix >> 27;
    std::wstring name = folder + L"~bmpvintage-";
    for (int digit = 11; digit >= 0; --digit) name += L"0123456789abcdef"[(mix >> digit * 4) & 15];
    return name + L".tmp";
}

bool SameTime(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// A file's change time (which any write, change of attributes or links, or
// rename moves), or zero where the system does not tell it.
LONGLONG ChangeTime(HANDLE h) {
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic)) return 0;
    return basic.ChangeTime.QuadPart;
}

class WindowsInput final : public InputFile {
  public:
    WindowsInput(HANDLE h, std::uint64_t size, const BY_HANDLE_FILE_INFORMATION& info)
        : file_(h), size_(size), opened_(info), changed_(ChangeTime(h)) {}

    std::uint64_t Size() const override { return size_; }

    long long Read(std::uint8_t* to, std::size_t n) override {
        const DWORD part = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n);
        DWORD got = 0;
        if (!ReadFile(file_.h, to, part, &got, nullptr)) {
            error_ = static_cast<int>(GetLastError());
            return -1;
        }
        return got;
    }

    // A write, truncation or extension through any handle moves the last
    // write time (and a truncation or extension the size). Another file
    // moved over this one's name takes a link from it.
    bool Unchanged() override {
        BY_HANDLE_FILE_INFORMATION now;
        if (GetFileInformationByHandle(file_.h, &now) == 0) {
            error_ = static_cast<int>(GetLastError());
            return false;
        }
        return now.nFileSizeHigh == opened_.nFileSizeHigh &&
               now.nFileSizeLow == opened_.nFileSizeLow &&
               now.nNumberOfLinks == opened_.nNumberOfLinks &&
               SameTime(now.ftLastWriteTime, opened_.ftLastWriteTime) &&
               ChangeTime(file_.h) == changed_;
    }

    int SystemError() const override { return error_; }

    // The file's volume and index.
    const BY_HANDLE_FILE_INFORMATION& Opened() const { return opened_; }

  private:
    Handle file_;
    std::uint64_t size_;
    BY_HANDLE_FILE_INFORMATION opened_;
    LONGLONG changed_;
    int error_ = 0;
};

// Handles on folders, closed at the end. Each is opened without delete
// sharing, so that while it is held nobody can rename, remove or replace
// that folder (doing so needs delete access).
struct HeldFolders {
    std::vector<HANDLE> handles;
    HeldFolders() = default;
    HeldFolders(HeldFolders&& other) noexcept : handles(std::move(other.handles)) {}
    HeldFolders(const HeldFolders&) = delete;
    HeldFolders& operator=(HeldFolders&& other) noexcept {
        std::swap(handles, other.handles);
        return *this;
    }
    ~HeldFolders() {
        for (const HANDLE h : handles) CloseHandle(h);
    }

    // Opens the folder `path` and adds it; with `followLinks` false, a folder
    // that is a reparse point (a link or junction) is refused. 0 or the
    // system's error code.
    int Hold(const std::wstring& path, bool followLinks) {
        const HANDLE h = CreateFileW(
            path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
            OPEN_EXISTING,
            FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
        if (h == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
        handles.push_back(h);
        BY_HANDLE_FILE_INFORMATION info;
        if (!GetFileInformationByHandle(h, &info)) return static_cast<int>(GetLastError());
        if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            return ERROR_CANT_RESOLVE_FILENAME;
        return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : ERROR_DIRECTORY;
    }
};

// How long the root of a `\\?\` path is: `\\?\C:\` or
// `\\?\UNC\server\share\`; 0 for any other form (a device).
std::size_t RootLength(const std::wstring& path) {
    if (path.starts_with(L"\\\\?\\UNC\\")) {
        const auto server = path.find(L'\\', 8);
        const auto share = server == std::wstring::npos ? server : path.find(L'\\', server + 1);
        return share == std::wstring::npos ? 0 : share + 1;
    }
    if (path.size() >= 7 && path.starts_with(L"\\\\?\\") && path[5] == L':' && path[6] == L'\\')
        return 7;
    return 0;
}

// Holds every folder on the way to the file `path` (a full `\\?\` path),
// from the one below its root down to the one that holds it. None may be a
// link or junction: the path was resolved, so one now was put there since.
int HoldFoldersOf(const std::wstring& path, HeldFolders& held) {
    const std::size_t root = RootLength(path);
    if (root == 0) return 0;
    for (std::size_t at = path.find(L'\\', root); at != std::wstring::npos;
         at = path.find(L'\\', at + 1)) {
        if (const int error = held.Hold(path.substr(0, at), false); error != 0) return error;
    }
    return 0;
}

// The path of the file a symbolic link (or another reparse point) leads to,
// in `\\?\` form. No value when it leads nowhere.
std::optional<std::wstring> FinalPath(const std::wstring& path) {
    // Without FILE_FLAG_OPEN_REPARSE_POINT the open follows every link; the
    // backup flag lets a folder open too, to be refused by its attributes.
    Handle file(CreateFileW(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.Valid()) return std::nullopt;
    constexpr DWORD kForm = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    DWORD size = GetFinalPathNameByHandleW(file.h, nullptr, 0, kForm);
    for (int tries = 0; tries < 4 && size > 0; ++tries) {
        std::wstring final(size, L'\0');
        const DWORD n = GetFinalPathNameByHandleW(file.h, final.data(), size, kForm);
        if (n == 0) break;
        if (n < size) {
            final.resize(n);
            return final;
        }
        size = n;  // renamed meanwhile to a longer name
    }
    return std::nullopt;
}

// Whether the existing file at `path` (not a link) is one to replace: a
// regular disk file, not read-only, that the caller may open for writing
// (its ACL and the sharing of those who have it open allow it).
bool Replaceable(const std::wstring& path, DWORD attributes, int& error) {
    error = ERROR_ACCESS_DENIED;  // as opening it for writing would say
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) return false;
    const Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) error = static_cast<int>(GetLastError());
    return file.Valid() && GetFileType(file.h) == FILE_TYPE_DISK;
}

// What is at `path` itself (a reparse point is not followed): a file's
// volume, index, size and times, or nothing when no file has that name. No
// value when that cannot be told.
struct State {
    bool exists = false;
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    DWORD sizeHigh = 0;
    DWORD sizeLow = 0;
    LONGLONG written = 0;
    LONGLONG changed = 0;
    bool operator==(const State&) const = default;
};

std::optional<State> StateAt(const std::wstring& path) {
    const Handle file(
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.Valid()) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return State{};
        return std::nullopt;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file.h, &info)) return std::nullopt;
    ULARGE_INTEGER written;
    written.LowPart = info.ftLastWriteTime.dwLowDateTime;
    written.HighPart = info.ftLastWriteTime.dwHighDateTime;
    return State{true,
                 info.dwVolumeSerialNumber,
                 info.nFileIndexHigh,
                 info.nFileIndexLow,
                 info.nFileSizeHigh,
                 info.nFileSizeLow,
                 static_cast<LONGLONG>(written.QuadPart),
                 ChangeTime(file.h)};
}

// The attributes a replacement takes from the file it replaces. ReplaceFileW
// carries them on Windows; they are given to the new file from the start as
// well, for the systems whose ReplaceFileW does not.
constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

class WindowsOutput final : public OutputFile {
  public:
    WindowsOutput(std::wstring target, std::optional<DWORD> replaced, State checked,
                  HeldFolders&& held, TemporaryFileWatch* watch, bool noClobber)
        : target_(std::move(target)),
          replaced_(replaced),
          checked_(checked),
          held_(std::move(held)),
          watch_(watch),
          noClobber_(noClobber) {}

    ~WindowsOutput() override {
        if (!temporary_.empty()) {
            file_.Close();
            if (watch_ != nullptr) watch_->BeforeSettle(-1, temporary_);
            const bool gone = DeleteFileW(temporary_.c_str()) != 0;
            if (watch_ != nullptr) watch_->Settled(-1, temporary_, gone);
        }
    }

    // Makes the new file beside the target.
    bool Create() {
        const std::wstring folder = FolderOf(target_);
        const DWORD attributes = replaced_ ? (*replaced_ & kKeptAttributes) : 0;
        for (unsigned attempt = 0; attempt < 100; ++attempt) {
            std::wstring name = TemporaryName(folder, attempt);
            if (watch_ != nullptr) watch_->BeforeCreate();
            file_.h = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL, nullptr);
            if (watch_ != nullptr) watch_->AfterCreate(-1, file_.Valid() ? &name : nullptr);
            if (file_.Valid()) {
                temporary_ = std::move(name);
                return true;
            }
            const DWORD error = GetLastError();
            error_ = static_cast<int>(error);
            if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
        }
        return false;
    }

    int SystemError() const override { return error_; }

    bool Write(std::span<const std::uint8_t> bytes) override {
        if (WriteFully(file_.h, bytes.data(), bytes.size())) return true;
        error_ = static_cast<int>(GetLastError());
        return false;
    }

    bool Commit() override {
        // The image reaches the disk before it takes the old one's name.
        if (replaced_ && FlushFileBuffers(file_.h) == 0) return Failed();
        if (!file_.Close()) return Failed();
        // The name must still hold what was checked when the conversion
        // began, unchanged: a file saved there since, or written into, is
        // newer than this one's input, and is kept.
        const auto there = StateAt(target_);
        if (!there) return Failed();
        if (!(*there == checked_)) {
            error_ = checked_.exists ? 0 : ERROR_FILE_EXISTS;
            return false;
        }
        // A new output replaces whatever took the name since that check:
        // of two writers, the last rename wins. On failure the destructor
        // removes the new file.
        // Without replacing when asked not to clobber: a file that took the
        // name since is kept (ERROR_ALREADY_EXISTS).
        const DWORD replace = noClobber_ ? 0 : MOVEFILE_REPLACE_EXISTING;
        // The watch keeps the file until it is moved (a handler waits for
        // the move), so an interruption never leaves it behind.
        if (watch_ != nullptr) watch_->BeforeSettle(-1, temporary_);
        const bool moved = replaced_ ? Replace()
                                     : MoveFileExW(temporary_.c_str(), target_.c_str(),
                                                   replace | MOVEFILE_WRITE_THROUGH) != 0 ||
                                           Failed();
        if (watch_ != nullptr) watch_->Settled(-1, temporary_, moved);
        if (!moved) return false;
        temporary_.clear();
        return true;
    }

  private:
    bool Failed() {
        error_ = static_cast<int>(GetLastError());
        return false;
    }

    // ReplaceFileW keeps the old file's ACL, attributes, streams and creation
    // time. It is given a name to move the old file to: without one, a
    // failure of its last step leaves no file under the output's name; with
    // one, the old file is still there (under that name, from which it is
    // put back) and is deleted only once the new one is in place.
    bool Replace() {
        const std::wstring folder = FolderOf(target_);
        for (unsigned attempt = 0; attempt < 100; ++attempt) {
            const std::wstring aside = TemporaryName(folder, attempt);
            if (GetFileAttributesW(aside.c_str()) != INVALID_FILE_ATTRIBUTES) continue;
            // Merge errors are not ignored: a replacement that cannot keep the
            // old file's ACL does not happen.
            if (ReplaceFileW(target_.c_str(), temporary_.c_str(), aside.c_str(), 0, nullptr,
                             nullptr)) {
                // Other hard links to the old file keep the old image.
                DeleteFileW(aside.c_str());
                return true;
            }
            const DWORD error = GetLastError();
            error_ = static_cast<int>(error);
            if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
                // The old file is under the other name: back to its own.
                MoveFileExW(aside.c_str(), target_.c_str(), MOVEFILE_WRITE_THROUGH);
                return false;
            }
            // Deleted since it was checked: the output is made new, as it
            // would have been.
            if (error == ERROR_FILE_NOT_FOUND &&
                GetFileAttributesW(target_.c_str()) == INVALID_FILE_ATTRIBUTES)
                return MoveFileExW(temporary_.c_str(), target_.c_str(), MOVEFILE_WRITE_THROUGH) !=
                           0 ||
                       Failed();
            return false;
        }
        return false;
    }

    std::wstring target_;
    std::wstring temporary_;  // empty once moved into place (or never made)
    Handle file_{INVALID_HANDLE_VALUE};
    std::optional<DWORD> replaced_;  // the attributes of the file replaced
    State checked_;                  // what was at target_ when the output was prepared
    HeldFolders held_;               // the folders on the way, until the end
    TemporaryFileWatch* watch_;
    bool noClobber_;
    int error_ = 0;
};

// The file CreateOutputFile replaces or makes for `path`, and its
// attributes (INVALID_FILE_ATTRIBUTES for a file to make). No value, with
// `error` set where the system gave a reason, for a path refused on the way.
std::optional<std::wstring> OutputTarget(const std::wstring& path, DWORD& attributes, int& error) {
    std::wstring target = ExtendedLengthPath(path);
    attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // Only a missing file is made new; any other failure (a missing
        // folder, a file the caller may not see) refuses.
        const DWORD reason = GetLastError();
        if (reason != ERROR_FILE_NOT_FOUND) {
            error = static_cast<int>(reason);
            return std::nullopt;
        }
        // Made in the folder its name leads to, links on the way resolved.
        const auto slash = target.find_last_of(L'\\');
        if (slash != std::wstring::npos && slash + 1 > RootLength(target) &&
            RootLength(target) != 0) {
            if (const auto folder = FinalPath(target.substr(0, slash)))
                return *folder + (folder->ends_with(L'\\') ? L"" : L"\\") +
                       target.substr(slash + 1);
        }
        return target;
    }
    // The file a link leads to is replaced, not the link. Asked of every
    // existing output, not only of reparse points: Wine shows a Unix
    // symbolic link as the file it leads to. A link that leads nowhere is
    // refused: what it names is in its own reparse data, in a form of its
    // own, and replacing the link itself would lose it. A file system that
    // gives no final path has no links to follow.
    const auto final = FinalPath(target);
    if (!final && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        error = ERROR_FILE_NOT_FOUND;
        return std::nullopt;
    }
    if (final && *final != target) {
        target = *final;
        attributes = GetFileAttributesW(target.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            error = static_cast<int>(GetLastError());
            return std::nullopt;
        }
    }
    return target;
}

}  // namespace

namespace {

// An open handle as an input: only a regular disk file.
std::unique_ptr<InputFile> InputFromHandle(HANDLE h, InputStatus& status, int& error) {
    Handle in(h);
    if (!in.Valid()) {
        error = static_cast<int>(GetLastError());
        return nullptr;
    }
    // Consoles, pipes and devices are not disk files.
    if (GetFileType(in.h) != FILE_TYPE_DISK) return nullptr;
    LARGE_INTEGER size{};
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileSizeEx(in.h, &size) || !GetFileInformationByHandle(in.h, &info)) {
        error = static_cast<int>(GetLastError());
        status = InputStatus::ReadFailed;
        return nullptr;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return nullptr;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        error = ERROR_CANT_RESOLVE_FILENAME;  // opened as the link itself
        return nullptr;
    }
    auto file =
        std::make_unique<WindowsInput>(in.h, static_cast<std::uint64_t>(size.QuadPart), info);
    in.h = INVALID_HANDLE_VALUE;
    status = InputStatus::Ok;
    return file;
}

// Others may go on reading, writing, renaming or deleting the file: a
// change is caught by Unchanged(), and a renamed or deleted file is still
// read through this handle. A folder does not open without
// FILE_FLAG_BACKUP_SEMANTICS.
HANDLE OpenForReading(const std::wstring& path, DWORD flags) {
    return CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN | flags, nullptr);
}

}  // namespace

std::unique_ptr<InputFile> OpenInputFile(const NativePath& path, InputStatus& status,
                                         int* systemError) {
    int unused = 0;
    int& error = systemError != nullptr ? *systemError : unused;
    error = 0;
    status = InputStatus::OpenFailed;
    return InputFromHandle(OpenForReading(ExtendedLengthPath(path), 0), status, error);
}

std::unique_ptr<InputFile> OpenInputFileBeneath(const NativePath& root, const NativePath& relative,
                                                InputStatus& status, int* systemError) {
    int unused = 0;
    int& error = systemError != nullptr ? *systemError : unused;
    error = 0;
    status = InputStatus::OpenFailed;
    // The root as named (links followed), then each name beneath it opened
    // as itself: a link or junction is refused. Every folder is held until
    // the file is open, so none is swapped on the way.
    std::wstring path = ExtendedLengthPath(root);
    while (path.size() > RootLength(path) && (path.back() == L'\\' || path.back() == L'/'))
        path.pop_back();
    HeldFolders held;
    if ((error = held.Hold(path, true)) != 0) return nullptr;
    std::size_t at = 0;
    for (;;) {
        const std::size_t end = relative.find_first_of(L"\\/", at);
        const std::wstring name = relative.substr(at, end == std::wstring::npos ? end : end - at);
        if (name.empty() || name == L"." || name == L"..") {
            error = ERROR_INVALID_NAME;
            return nullptr;
        }
        path += (path.ends_with(L'\\') ? L"" : L"\\") + name;
        if (end == std::wstring::npos) break;
        if ((error = held.Hold(path, false)) != 0) return nullptr;
        at = end + 1;
    }
    return InputFromHandle(OpenForReading(path, FILE_FLAG_OPEN_REPARSE_POINT), status, error);
}

int MakeOutputFolders(const NativePath& path, unsigned /*mode: POSIX only*/) {
    // One folder at a time, each held before the next is made in it.
    const std::wstring full = ExtendedLengthPath(path);
    const std::size_t root = RootLength(full);
    if (root == 0) return ERROR_INVALID_NAME;
    HeldFolders held;
    for (std::size_t at = root; at <= full.size();) {
        std::size_t end = full.find(L'\\', at);
        if (end == std::wstring::npos) end = full.size();
        if (end > at) {
            const std::wstring folder = full.substr(0, end);
            if (!CreateDirectoryW(folder.c_str(), nullptr) &&
                GetLastError() != ERROR_ALREADY_EXISTS)
                return static_cast<int>(GetLastError());
            if (const int error = held.Hold(folder, true); error != 0) return error;
        }
        at = end + 1;
    }
    return 0;
}

std::unique_ptr<OutputFile> CreateOutputFile(const NativePath& path, TemporaryFileWatch* watch,
                                             int* systemError, const InputFile* sameFileAs,
                                             unsigned /*newMode: POSIX only*/, bool noClobber) {
    int unused = 0;
    int& error = systemError != nullptr ? *systemError : unused;
    error = 0;
    std::optional<std::wstring> target;
    std::optional<DWORD> replaced;
    HeldFolders held;
    std::optional<State> checked;
    // Looked at again when a file appeared or went meanwhile (another
    // writer's, made or renamed into place).
    for (int look = 0;; ++look) {
        DWORD attributes = INVALID_FILE_ATTRIBUTES;
        target = OutputTarget(path, attributes, error);
        if (!target) return nullptr;
        replaced.reset();
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (!Replaceable(*target, attributes, error)) return nullptr;
            replaced = attributes;
        }
        // Held first, so that what is checked below stays where it is.
        held = HeldFolders();
        if ((error = HoldFoldersOf(*target, held)) != 0) return nullptr;
        checked = StateAt(*target);
        if (checked && checked->exists == replaced.has_value()) break;
        if (!checked || look == 3) {
            error = static_cast<int>(GetLastError());
            return nullptr;
        }
    }
    // The name itself too, not only where a link there leads.
    if (noClobber && (replaced || GetFileAttributesW(ExtendedLengthPath(path).c_str()) !=
                                      INVALID_FILE_ATTRIBUTES)) {
        error = ERROR_FILE_EXISTS;
        return nullptr;
    }
    if (sameFileAs != nullptr) {
        // The name must lead to the open input itself; Commit() checks
        // again that it still holds that file.
        const auto* in = dynamic_cast<const WindowsInput*>(sameFileAs);
        if (!replaced || in == nullptr || in->Opened().dwVolumeSerialNumber != checked->volume ||
            in->Opened().nFileIndexHigh != checked->indexHigh ||
            in->Opened().nFileIndexLow != checked->indexLow) {
            error = replaced ? 0 : ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
    }
    auto out = std::make_unique<WindowsOutput>(std::move(*target), replaced, *checked,
                                               std::move(held), watch, noClobber);
    if (!out->Create()) {
        error = out->SystemError();
        return nullptr;
    }
    return out;
}

std::optional<NativePath> ResolveOutputPath(const NativePath& path) {
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    int error = 0;
    return OutputTarget(path, attributes, error);
}

std::string SystemErrorText(int systemError) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(systemError), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring wide(text != nullptr ? text : L"", n);
    LocalFree(text);
    // Without the line end and the full stop the messages end with.
    while (!wide.empty() && (wide.back() == L'\r' || wide.back() == L'\n' || wide.back() == L'.' ||
                             wide.back() == L' '))
        wide.pop_back();
    std::string utf8;
    if (!wide.empty()) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                             nullptr, 0, nullptr, nullptr);
        utf8.resize(static_cast<std::size_t>(size > 0 ? size : 0));
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(),
                            size, nullptr, nullptr);
    }
    return utf8.empty() ? "error " + std::to_string(systemError) : utf8;
}

void PrintErrorLine(std::string_view line) {
    char buf[128];
    const std::size_t n = line.size() < sizeof buf - 1 ? line.size() : sizeof buf - 1;
    std::memcpy(buf, line.data(), n);
    buf[n] = '\n';
    _write(2, buf, static_cast<unsigned>(n + 1));
}

}  // namespace sorvane
