// Reads the DLL's version record back through the version API and its type
// library through LoadTypeLibEx, as Windows itself and tools would.
//
// Usage: module_resources SorvaneBMPVintage.DLL
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct Checker {
    int failures = 0;
    void operator()(bool ok, const char* what, int line) {
        if (ok) return;
        std::fprintf(stderr, "WindowsResources.cpp:%d: check failed: %s\n", line, what);
        ++failures;
    }
};
#define CHECK(check, condition) (check)((condition), #condition, __LINE__)

// The library identifier chosen for the module's type library.
constexpr GUID kLibraryId = {
    0x0b0fe084, 0x2192, 0x455a, {0xbb, 0x8b, 0x51, 0x06, 0x02, 0x3a, 0x6b, 0x48}};

struct StringValue {
    const wchar_t* key;
    const wchar_t* value;
};

constexpr StringValue kStrings[] = {
    {L"CompanyName", L""},
    {L"FileDescription", L"SorvaneBMPVintage DLL"},
    {L"FileVersion", L"1, 0, 0, 1"},
    {L"InternalName", L"SorvaneBMPVintage"},
    {L"LegalCopyright", L"Copyright (c) 2026 The SorvaneBMPVintage authors. MIT licence."},
    {L"LegalTrademarks", L""},
    {L"OriginalFilename", L"SorvaneBMPVintage.DLL"},
    {L"ProductName", L"SorvaneBMPVintage Dynamic Link Library"},
    {L"ProductVersion", L"1, 0, 0, 1"},
    {L"OLESelfRegister", L""},
};

void CheckVersionRecord(Checker& check, const wchar_t* path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    CHECK(check, size > 0);
    if (size == 0) return;
    std::vector<unsigned char> data(size);
    CHECK(check, GetFileVersionInfoW(path, 0, size, data.data()));

    void* value = nullptr;
    UINT length = 0;
    CHECK(check, VerQueryValueW(data.data(), L"\\", &value, &length));
    CHECK(check, length == sizeof(VS_FIXEDFILEINFO));
    if (value != nullptr && length == sizeof(VS_FIXEDFILEINFO)) {
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
        CHECK(check, fixed->dwSignature == 0xFEEF04BD);
        CHECK(check, fixed->dwFileVersionMS == 0x00010000 && fixed->dwFileVersionLS == 0x00000001);
        CHECK(check,
              fixed->dwProductVersionMS == 0x00010000 && fixed->dwProductVersionLS == 0x00000001);
        CHECK(check, fixed->dwFileFlagsMask == 0x3F);
        CHECK(check, fixed->dwFileFlags == 0);
        CHECK(check, fixed->dwFileOS == 4);
        CHECK(check, fixed->dwFileType == 2);
        CHECK(check, fixed->dwFileSubtype == 0);
        CHECK(check, fixed->dwFileDateMS == 0 && fixed->dwFileDateLS == 0);
    }

    // One translation: language 0x0409, code page 1200.
    value = nullptr;
    length = 0;
    CHECK(check, VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", &value, &length));
    CHECK(check, length == 4);
    if (value != nullptr && length == 4) {
        const auto* words = static_cast<const WORD*>(value);
        CHECK(check, words[0] == 0x0409 && words[1] == 1200);
    }

    for (const StringValue& s : kStrings) {
        // Joined, not formatted: Wine for ARM64 built without a PE compiler
        // reads a Windows va_list as a Linux one, so the vswprintf behind
        // swprintf takes the first argument's characters for a pointer.
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + s.key;
        value = nullptr;
        length = 0;
        const bool found = VerQueryValueW(data.data(), query.c_str(), &value, &length) != 0;
        const wchar_t* text =
            found && value != nullptr && length > 0 ? static_cast<const wchar_t*>(value) : L"";
        const bool same = found && std::wcscmp(text, s.value) == 0;
        if (!same) std::fprintf(stderr, "version string %ls: got \"%ls\"\n", s.key, text);
        CHECK(check, same);
    }
    // Nothing under another language or code page.
    CHECK(check, !VerQueryValueW(data.data(), L"\\StringFileInfo\\040904E4\\FileVersion", &value,
                                 &length));
}

void CheckTypeLibrary(Checker& check, const wchar_t* path) {
    ITypeLib* library = nullptr;
    const HRESULT loaded = LoadTypeLibEx(path, REGKIND_NONE, &library);
    CHECK(check, SUCCEEDED(loaded) && library != nullptr);
    if (library == nullptr) return;

    TLIBATTR* attributes = nullptr;
    CHECK(check, SUCCEEDED(library->GetLibAttr(&attributes)));
    if (attributes != nullptr) {
        CHECK(check, IsEqualGUID(attributes->guid, kLibraryId));
        CHECK(check, attributes->lcid == 0x0409);
        CHECK(check, attributes->syskind == SYS_WIN32);
        CHECK(check, attributes->wMajorVerNum == 1 && attributes->wMinorVerNum == 0);
        library->ReleaseTLibAttr(attributes);
    }

    BSTR name = nullptr;
    BSTR doc = nullptr;
    BSTR helpFile = nullptr;
    DWORD helpContext = 0;
    CHECK(check, SUCCEEDED(library->GetDocumentation(-1, &name, &doc, &helpContext, &helpFile)));
    CHECK(check, name != nullptr && std::wcscmp(name, L"SorvaneBMPVintage") == 0);
    CHECK(check, doc == nullptr || SysStringLen(doc) == 0);
    CHECK(check, helpFile == nullptr || SysStringLen(helpFile) == 0);
    SysFreeString(name);
    SysFreeString(doc);
    SysFreeString(helpFile);

    CHECK(check, library->GetTypeInfoCount() == 0);
    library->Release();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: module_resources SorvaneBMPVintage.DLL\n");
        return 2;
    }
    wchar_t path[MAX_PATH];
    const DWORD n = GetFullPathNameW(argv[1], MAX_PATH, path, nullptr);
    if (n == 0 || n >= MAX_PATH) return 2;
    Checker check;
    CheckVersionRecord(check, path);
    CheckTypeLibrary(check, path);
    if (check.failures == 0) std::printf("all checks passed\n");
    return check.failures == 0 ? 0 : 1;
}
