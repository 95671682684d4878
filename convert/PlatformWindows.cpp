// File access for Windows: every file is opened by its wide path, so no name
// passes through a code-page conversion.
#include <windows.h>
// after <windows.h>
#include <io.h>

// <windows.h> maps ReplaceFile to the system's ReplaceFileW; this file
// defines sorvane::ReplaceFile.
#undef ReplaceFile

#include <cstring>
#include <new>

#include "convert/Platform.h"

namespace sorvane {

namespace {

struct Handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    explicit Handle(HANDLE v) : h(v) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    bool Close() {
        const HANDLE v = h;
        h = INVALID_HANDLE_VALUE;
        return CloseHandle(v) != 0;
    }
};

// Reads up to n bytes; returns the count read or -1 on an error.
long long ReadFully(HANDLE h, std::uint8_t* to, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        const std::size_t left = n - got;
        const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        DWORD r = 0;
        if (!ReadFile(h, to + got, chunk, &r, nullptr)) return -1;
        if (r == 0) break;
        got += r;
    }
    return static_cast<long long>(got);
}

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

std::wstring DirectoryOf(const std::wstring& path) {
    const auto slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return L".";
    return path.substr(0, slash + 1);
}

}  // namespace

void ReleaseBytes::operator()(std::uint8_t* bytes) const noexcept {
    delete[] bytes;
}

// Read in one go; the observer is not told (the caller then works on the
// whole buffer).
ReadStatus ReadWholeBMP(const NativePath& path, ByteBuffer& out, ReadObserver*) {
    Handle in(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (in.h == INVALID_HANDLE_VALUE) return ReadStatus::OpenFailed;
    if (GetFileType(in.h) != FILE_TYPE_DISK) return ReadStatus::OpenFailed;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(in.h, &size)) return ReadStatus::ReadFailed;

    std::uint8_t magic[2];
    const long long m = ReadFully(in.h, magic, 2);
    if (m < 0) return ReadStatus::ReadFailed;
    if (m < 2 || magic[0] != 'B' || magic[1] != 'M') return ReadStatus::NotValid;

    const auto total = static_cast<unsigned long long>(size.QuadPart);
    if (total < 2) return ReadStatus::NotValid;
    if (total > SIZE_MAX / 2) return ReadStatus::NoMemory;
    out.data.reset(new (std::nothrow) std::uint8_t[total]);
    if (!out.data) return ReadStatus::NoMemory;
    out.data[0] = magic[0];
    out.data[1] = magic[1];
    const long long rest = ReadFully(in.h, out.data.get() + 2, total - 2);
    if (rest < 0) return ReadStatus::ReadFailed;
    out.size = 2 + static_cast<std::size_t>(rest);
    return ReadStatus::Ok;
}

WriteStatus ReplaceFile(const NativePath& path, std::span<const std::uint8_t> bytes) {
    const DWORD attrs = GetFileAttributesW(path.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY))
        return WriteStatus::OpenFailed;

    wchar_t tmp[MAX_PATH + 1];
    const std::wstring dir = DirectoryOf(path);
    if (dir.size() > MAX_PATH - 14 || GetTempFileNameW(dir.c_str(), L"bvt", 0, tmp) == 0)
        return WriteStatus::OpenFailed;
    Handle out(
        CreateFileW(tmp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (out.h == INVALID_HANDLE_VALUE) {
        DeleteFileW(tmp);
        return WriteStatus::OpenFailed;
    }
    bool ok = WriteFully(out.h, bytes.data(), bytes.size());
    ok = out.Close() && ok;
    ok = ok && MoveFileExW(tmp, path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    if (!ok) {
        DeleteFileW(tmp);
        return WriteStatus::WriteFailed;
    }
    return WriteStatus::Ok;
}

void PrintErrorLine(std::string_view line) {
    char buf[128];
    const std::size_t n = line.size() < sizeof buf - 1 ? line.size() : sizeof buf - 1;
    std::memcpy(buf, line.data(), n);
    buf[n] = '\n';
    _write(2, buf, static_cast<unsigned>(n + 1));
}

}  // namespace sorvane
