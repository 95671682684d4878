#include "convert/Platform.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace sorvane {

std::optional<std::string> Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size() * 3);
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 == text.size()) return std::nullopt;
            const std::uint32_t low = text[i + 1];
            if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return std::nullopt;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | cp >> 6);
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | cp >> 12);
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | cp >> 18);
            out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

#ifdef _WIN32
std::wstring ExtendedLengthPath(const std::wstring& path) {
    // `\\?\` paths go to the file system as they are; `\\.\` ones name
    // devices (and GetFullPathNameW gives that form for NUL, CON and the like).
    const auto verbatim = [](const std::wstring& p) {
        return p.starts_with(L"\\\\?\\") || p.starts_with(L"\\\\.\\") || p.starts_with(L"\\??\\");
    };
    if (verbatim(path)) return path;
    // The length is not known beforehand; a second call gives it exactly
    // unless the current folder changed in between.
    std::wstring full(path.size() + MAX_PATH, L'\0');
    for (int tries = 0; tries < 4; ++tries) {
        const DWORD n =
            GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (n == 0) return path;  // the open then fails, or works, as for any path
        if (n < full.size()) {
            full.resize(n);
            if (verbatim(full)) return full;
            if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
            return L"\\\\?\\" + full;
        }
        full.resize(n);
    }
    return path;
}
#endif

std::optional<NativePath> ToNativePath(const BMPVintageChar* path) {
    if (path == nullptr || path[0] == 0) return std::nullopt;
#ifdef _WIN32
    return NativePath(path);
#else
    std::size_t n = 0;
    while (path[n] != 0) ++n;
    return Utf16ToUtf8(std::u16string_view(path, n));
#endif
}

}  // namespace sorvane
