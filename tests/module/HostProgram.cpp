// A host that loads the module at run time, as an application does, and
// checks what loading and unloading do and that the one export converts.
//
// Built twice: with the host framework (HOST_WITH_FRAMEWORK=1: the host links
// the framework, and the module must join and leave its chain) and without it
// (the module must load and convert the same).
//
// Usage: module_host MODULE SAMPLE.bmp WORKDIR [FRAMEWORK]
// FRAMEWORK, for the host without the framework: the framework library, to
// be loaded at run time and unloaded before the module.
// Exit status: 0 when every check passed, 1 otherwise.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "BMPVintage.h"
#include "BmpBuilder.h"
#include "convert/Platform.h"
#include "tone/VintageTone.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "HostFramework.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Checker {
    int failures = 0;
    void operator()(bool ok, const char* what, int line) {
        if (ok) return;
        std::fprintf(stderr, "HostProgram.cpp:%d: check failed: %s\n", line, what);
        ++failures;
    }
};
#define CHECK(check, condition) (check)((condition), #condition, __LINE__)

#ifdef _WIN32
using NativeString = std::wstring;
using PathChar = wchar_t;
#define NATIVE(s) L##s
#else
using NativeString = std::string;
using PathChar = char;
#define NATIVE(s) s
#endif

using BMPVintageFn = std::int32_t (*)(const BMPVintageChar*, const BMPVintageChar*);

// The loaded module, as the host sees it.
struct Module {
    void* library = nullptr;
    BMPVintageFn convert = nullptr;
    void* instance = nullptr;  // the handle the module registers under
};

#ifdef _WIN32
void* OpenLibrary(const NativeString& path) {
    return LoadLibraryW(path.c_str());
}
bool CloseLibrary(void* library) {
    return FreeLibrary(static_cast<HMODULE>(library)) != 0;
}
template <typename Fn>
Fn Symbol(void* library, const char* name) {
    using Generic = void (*)();
    return reinterpret_cast<Fn>(
        reinterpret_cast<Generic>(GetProcAddress(static_cast<HMODULE>(library), name)));
}
// A module's instance handle is its HMODULE.
void* InstanceOf(void* library) {
    return library;
}
bool FrameworkLoaded() {
    return GetModuleHandleW(L"HostFramework.dll") != nullptr;
}
#else
void* OpenLibrary(const NativeString& path) {
    void* const library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) std::fprintf(stderr, "dlopen: %s\n", dlerror());
    return library;
}
bool CloseLibrary(void* library) {
    return dlclose(library) == 0;
}
template <typename Fn>
Fn Symbol(void* library, const char* name) {
    return reinterpret_cast<Fn>(dlsym(library, name));
}
// A module's instance handle is the address it is loaded at.
void* InstanceOf(void* library) {
    Dl_info info{};
    void* const symbol = dlsym(library, "BMPVintage");
    return symbol != nullptr && dladdr(symbol, &info) != 0 ? info.dli_fbase : nullptr;
}
bool FrameworkLoaded() {
    void* const framework = dlopen("libHostFramework.so.1", RTLD_NOW | RTLD_NOLOAD);
    if (framework != nullptr) dlclose(framework);
    return framework != nullptr;
}
#endif

Module Load(const NativeString& path) {
    Module m;
    m.library = OpenLibrary(path);
    if (m.library == nullptr) return m;
    m.convert = Symbol<BMPVintageFn>(m.library, "BMPVintage");
    m.instance = InstanceOf(m.library);
    return m;
}
bool Unload(Module& m) {
    return CloseLibrary(m.library);
}

Bytes ReadAll(const NativeString& path) {
#ifdef _WIN32
    FILE* f = _wfopen(path.c_str(), L"rb");
#else
    FILE* f = std::fopen(path.c_str(), "rb");
#endif
    Bytes out;
    if (f == nullptr) return out;
    std::uint8_t buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

bool WriteAll(const NativeString& path, const Bytes& bytes) {
#ifdef _WIN32
    FILE* f = _wfopen(path.c_str(), L"wb");
#else
    FILE* f = std::fopen(path.c_str(), "wb");
#endif
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// The path as the module takes it: UTF-16 code units. The test's paths are
// ASCII except for the names below, which are written as UTF-16 directly.
std::u16string Utf16(const NativeString& path) {
    std::u16string out;
    for (const PathChar c : path) out += static_cast<char16_t>(c);
    return out;
}

// A file name outside ASCII: e-acute, a CJK ideograph and a character outside
// the Basic Multilingual Plane (a surrogate pair), so that the path has to
// arrive as UTF-16 unchanged.
const std::u16string kWideName = u"vintage-\u00e9\u4e2d\U0001F4F7.bmp";

NativeString Native(const std::u16string& text) {
#ifdef _WIN32
    return NativeString(text.begin(), text.end());
#else
    return sorvane::Utf16ToUtf8(text).value();
#endif
}

std::uint32_t U32(const Bytes& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// The bytes a conversion must give for an uncompressed 24-bit BMP: every
// stored colour toned by the reference arithmetic, every other byte kept.
Bytes Expected(Bytes file) {
    const std::size_t offset = U32(file, 10);
    const auto width = static_cast<std::int32_t>(U32(file, 18));
    const auto height = static_cast<std::int32_t>(U32(file, 22));
    const std::size_t rows = static_cast<std::size_t>(height < 0 ? -height : height);
    const std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) / 4 * 4;
    for (std::size_t r = 0; r < rows; ++r)
        for (std::int32_t x = 0; x < width; ++x)
            sorvane::ToneOnePixel(file.data() + offset + r * stride + x * 3);
    return file;
}

// Converts `input` through the loaded module into a file with a wide name,
// and checks the bytes written and the result of a failing call.
void CheckConversion(Checker& check, const Module& m, const NativeString& input,
                     const NativeString& workDir) {
    CHECK(check, m.convert != nullptr);
    if (m.convert == nullptr) return;
    const Bytes before = ReadAll(input);
    CHECK(check, before.size() > 54);
    if (before.size() <= 54) return;

    const std::u16string out = Utf16(workDir) + u"/" + kWideName;
    const std::u16string in = Utf16(input);
    CHECK(check, m.convert(reinterpret_cast<const BMPVintageChar*>(in.c_str()),
                           reinterpret_cast<const BMPVintageChar*>(out.c_str())) == 0);
    const Bytes after = ReadAll(Native(out));
    CHECK(check, after == Expected(before));
    CHECK(check, after != before);

    const std::u16string missing = Utf16(workDir) + u"/no-such-input.bmp";
    const std::u16string other = Utf16(workDir) + u"/not-written.bmp";
    CHECK(check, m.convert(reinterpret_cast<const BMPVintageChar*>(missing.c_str()),
                           reinterpret_cast<const BMPVintageChar*>(other.c_str())) == 1);
    CHECK(check, ReadAll(Native(other)).empty());
}

#ifdef _WIN32

int Convert(const Module& m, const std::wstring& input, const std::wstring& output) {
    return m.convert(input.c_str(), output.c_str());
}

// The absolute `\\?\` form of a local path.
std::wstring Verbatim(const std::wstring& path) {
    if (path.starts_with(L"\\\\?\\")) return path;
    std::wstring full(32768, L'\0');
    full.resize(GetFullPathNameW(path.c_str(), 32768, full.data(), nullptr));
    return L"\\\\?\\" + full;
}

std::size_t FilesIn(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    const HANDLE h = FindFirstFileW((Verbatim(folder) + L"\\*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return 0;
    std::size_t n = 0;
    do {
        n += (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    } while (FindNextFileW(h, &found));
    FindClose(h);
    return n;
}

void Remove(const std::wstring& path) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
}

// An existing output, by its attributes and whether another program holds
// it open without letting it be deleted or renamed: replaced (keeping the
// attribute) or refused, and then left as it was. Either way no other file
// is left beside it.
struct ExistingOutput {
    DWORD attribute;
    bool held;
    bool replaced;
};
constexpr ExistingOutput kExistingOutputs[] = {
    {FILE_ATTRIBUTE_READONLY, false, false},
    {FILE_ATTRIBUTE_HIDDEN, false, true},
    {FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, false, true},
    {FILE_ATTRIBUTE_ARCHIVE, true, false},
};

void CheckExistingOutputs(Checker& check, const Module& m, const std::wstring& sample,
                          const std::wstring& workDir) {
    const std::wstring folder = workDir + L"\\existing";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring out = folder + L"\\output.bmp";
    const Bytes before = ReadAll(sample);
    for (const ExistingOutput& c : kExistingOutputs) {
        const int failures = check.failures;
        Remove(out);
        CHECK(check, WriteAll(out, before));
        CHECK(check, SetFileAttributesW(out.c_str(), c.attribute));
        const HANDLE holder =
            c.held ? CreateFileW(out.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr)
                   : INVALID_HANDLE_VALUE;
        const std::size_t files = FilesIn(folder);
        CHECK(check, Convert(m, sample, out) == (c.replaced ? 0 : 1));
        if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);
        CHECK(check, ReadAll(out) == (c.replaced ? Expected(before) : before));
        CHECK(check, (GetFileAttributesW(out.c_str()) & c.attribute) == c.attribute);
        CHECK(check, FilesIn(folder) == files);
        if (check.failures != failures)
            std::fprintf(stderr, "  for an output with attributes %#lx%s\n", c.attribute,
                         c.held ? ", held open" : "");
    }
    Remove(out);
}

// Paths longer than MAX_PATH (260), given plainly (relative here) and in
// `\\?\` form; the output made new, then replaced.
void CheckLongPaths(Checker& check, const Module& m, const std::wstring& sample,
                    const std::wstring& workDir) {
    std::wstring deep = workDir;
    while (deep.size() < 300) {
        deep += L"\\" + std::wstring(60, static_cast<wchar_t>(L'a' + deep.size() % 26));
        CreateDirectoryW(Verbatim(deep).c_str(), nullptr);
    }
    const std::wstring in = deep + L"\\in.bmp";
    CHECK(check, CopyFileW(sample.c_str(), Verbatim(in).c_str(), FALSE));
    const Bytes expected = Expected(ReadAll(sample));
    for (const std::wstring& folder : {deep, Verbatim(deep)}) {
        const int failures = check.failures;
        const std::wstring out = folder + L"\\out.bmp";
        Remove(Verbatim(out));
        const std::size_t files = FilesIn(deep);
        for (int pass = 0; pass < 2; ++pass) {
            CHECK(check, Convert(m, folder + L"\\in.bmp", out) == 0);
            CHECK(check, ReadAll(Verbatim(out)) == expected);
        }
        CHECK(check, FilesIn(deep) == files + 1);
        if (check.failures != failures) std::fprintf(stderr, "  for %ls\n", out.c_str());
        Remove(Verbatim(out));
    }
}

#endif  // _WIN32

// Converts a real sample file and a generated one whose rows are padded and
// whose pixels do not start right after the headers; on Windows, also over
// existing outputs and along long paths.
void CheckConversions(Checker& check, const Module& m, const NativeString& sample,
                      const NativeString& workDir) {
    CheckConversion(check, m, sample, workDir);
    bmptest::Bmp24 odd;
    odd.width = 5;
    odd.height = 3;
    odd.gap = 6;
    odd.trailing = 3;
    const NativeString generated = workDir + NATIVE("/generated.bmp");
    CHECK(check, WriteAll(generated, odd.Build()));
    CheckConversion(check, m, generated, workDir);
#ifdef _WIN32
    CheckExistingOutputs(check, m, sample, workDir);
    CheckLongPaths(check, m, sample, workDir);
#endif
}

#if HOST_WITH_FRAMEWORK

std::vector<HostRegisteredModule> Chain() {
    std::vector<HostRegisteredModule> chain(HostListRegisteredModules(nullptr, 0));
    chain.resize(HostListRegisteredModules(chain.data(), chain.size()));
    return chain;
}

std::vector<HostEvent> EventsSince(std::size_t mark) {
    std::vector<HostEvent> events(HostReadEvents(0, nullptr, 0) - mark);
    HostReadEvents(mark, events.data(), events.size());
    return events;
}

std::size_t Mark() {
    return HostReadEvents(0, nullptr, 0);
}

bool Is(const HostEvent& e, HostEventKind kind, std::int32_t flag, const void* module) {
    return e.kind == kind && e.flag == flag && e.module == module;
}

bool InChain(const void* instance) {
    for (const HostRegisteredModule& r : Chain())
        if (r.module == instance) return true;
    return false;
}

// The host's own class and factory lists, which a module's load must leave
// as they were.
struct HostLists {
    HostListEntry view{nullptr, "HostView"};
    HostListEntry document{&view, "HostDocument"};
    HostListEntry factory{nullptr, "HostFactory"};

    void Install() {
        HostModuleState* const s = HostGetModuleState();
        *s = HostModuleState{&document, nullptr, &factory, nullptr};
    }
};

#ifdef _WIN32
DWORD WINAPI DoNothing(void*) {
    return 0;
}
#endif

void CheckLoadAndUnload(Checker& check, const NativeString& path, const NativeString& sample,
                        const NativeString& workDir) {
    HostLists lists;
    lists.Install();
    const std::size_t chainBefore = Chain().size();
    std::size_t mark = Mark();

    Module m = Load(path);
    CHECK(check, m.library != nullptr);
    if (m.library == nullptr) return;

    // Exactly one new entry, at the head, carrying the module's handle.
    const auto chain = Chain();
    CHECK(check, chain.size() == chainBefore + 1);
    CHECK(check, !chain.empty() && chain.front().module == m.instance);
    CHECK(check, !chain.empty() && chain.front().systemModule == 0);
    // The module registers no classes and no factories of its own.
    CHECK(check, !chain.empty() && chain.front().classes == nullptr);
    CHECK(check, !chain.empty() && chain.front().factories == nullptr);

    // Attach: lists set aside, record initialised, 64 bytes, registration.
    auto events = EventsSince(mark);
    CHECK(check, events.size() == 4);
    if (events.size() == 4) {
        CHECK(check, Is(events[0], HostEventModuleState, 0, nullptr));
        CHECK(check, Is(events[1], HostEventInit, 1, m.instance));
        CHECK(check, Is(events[2], HostEventAllocate, 1, nullptr) && events[2].size == 64);
        CHECK(check, Is(events[3], HostEventRegister, 0, m.instance));
    }
    // The host's lists are current again, and remembered in the initial slots.
    const HostModuleState* const state = HostGetModuleState();
    CHECK(check, state->classList == &lists.document && state->classInit == &lists.document);
    CHECK(check, state->factoryList == &lists.factory && state->factoryInit == &lists.factory);

#ifdef _WIN32
    // Thread attach and detach change nothing.
    mark = Mark();
    const HANDLE thread = CreateThread(nullptr, 0, DoNothing, nullptr, 0, nullptr);
    CHECK(check, thread != nullptr);
    if (thread != nullptr) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    CHECK(check, Mark() == mark);
    CHECK(check, Chain().size() == chainBefore + 1);
#endif

    CheckConversions(check, m, sample, workDir);

    // Detach: the record is terminated (for this module only), which takes
    // the module out of the chain.
    mark = Mark();
    CHECK(check, Unload(m));
    events = EventsSince(mark);
    CHECK(check, events.size() == 2);
    if (events.size() == 2) {
        CHECK(check, Is(events[0], HostEventTerm, 0, m.instance));
        CHECK(check, Is(events[1], HostEventUnregister, 0, m.instance));
    }
    CHECK(check, Chain().size() == chainBefore);
    CHECK(check, !InChain(m.instance));
}

// When the framework refuses memory, the module is not registered but loads
// and works; its unload terminates the record all the same.
void CheckAllocationRefused(Checker& check, const NativeString& path, const NativeString& sample,
                            const NativeString& workDir) {
    HostLists lists;
    lists.Install();
    const std::size_t chainBefore = Chain().size();
    HostSetFailures(0, 1);
    std::size_t mark = Mark();
    Module m = Load(path);
    HostSetFailures(0, 0);
    CHECK(check, m.library != nullptr);
    if (m.library == nullptr) return;
    auto events = EventsSince(mark);
    CHECK(check, events.size() == 3);
    if (events.size() == 3) {
        CHECK(check, Is(events[1], HostEventInit, 1, m.instance));
        CHECK(check, Is(events[2], HostEventAllocate, 0, nullptr) && events[2].size == 64);
    }
    CHECK(check, Chain().size() == chainBefore);
    CheckConversions(check, m, sample, workDir);
    mark = Mark();
    CHECK(check, Unload(m));
    events = EventsSince(mark);
    CHECK(check, events.size() == 1 && Is(events[0], HostEventTerm, 0, m.instance));
}

// When the framework cannot initialise the module's record, the module does
// not join the chain; on Windows the load itself fails.
void CheckInitialisationRefused(Checker& check, const NativeString& path) {
    HostLists lists;
    lists.Install();
    const std::size_t chainBefore = Chain().size();
    HostSetFailures(1, 0);
    const std::size_t mark = Mark();
    Module m = Load(path);
    HostSetFailures(0, 0);
    const auto events = EventsSince(mark);
    bool registered = false;
    bool allocated = false;
    bool refused = false;
    for (const HostEvent& e : events) {
        registered = registered || e.kind == HostEventRegister;
        allocated = allocated || e.kind == HostEventAllocate;
        refused = refused || (e.kind == HostEventInit && e.flag == 0);
    }
    CHECK(check, refused);
    CHECK(check, !allocated);
    CHECK(check, !registered);
    CHECK(check, Chain().size() == chainBefore);
#ifdef _WIN32
    CHECK(check, m.library == nullptr);
    CHECK(check, GetLastError() == ERROR_DLL_INIT_FAILED);
#else
    // An ELF constructor cannot refuse the load.
    if (m.library != nullptr) CHECK(check, Unload(m));
#endif
}

#else  // HOST_WITH_FRAMEWORK

// The framework loaded by the host at run time, then the module, then the
// framework unloaded first: its shutdown takes the module out of the chain,
// and the module, unloaded later, must neither need it nor reach for it.
void CheckFrameworkUnloadedFirst(Checker& check, const NativeString& path,
                                 const NativeString& frameworkPath, const NativeString& sample,
                                 const NativeString& workDir) {
    void* const framework = OpenLibrary(frameworkPath);
    CHECK(check, framework != nullptr);
    if (framework == nullptr) return;
    using ListFn = std::size_t (*)(HostRegisteredModule*, std::size_t);
    const auto list = Symbol<ListFn>(framework, "HostListRegisteredModules");
    CHECK(check, list != nullptr);

    Module m = Load(path);
    CHECK(check, m.library != nullptr);
    if (list != nullptr) {
        HostRegisteredModule chain[4]{};
        CHECK(check, list(chain, 4) == 1);
        CHECK(check, chain[0].module == m.instance && m.instance != nullptr);
    }
    CHECK(check, CloseLibrary(framework));
    CHECK(check, !FrameworkLoaded());
    if (m.library == nullptr) return;
    CheckConversions(check, m, sample, workDir);
    CHECK(check, Unload(m));
}

#endif  // HOST_WITH_FRAMEWORK

int Run(const NativeString& path, const NativeString& sample, const NativeString& workDir,
        const NativeString& frameworkPath) {
    Checker check;
#if HOST_WITH_FRAMEWORK
    CHECK(check, FrameworkLoaded());
    CheckLoadAndUnload(check, path, sample, workDir);
    CheckAllocationRefused(check, path, sample, workDir);
    CheckInitialisationRefused(check, path);
    // Loading again after all that works as the first time did.
    CheckLoadAndUnload(check, path, sample, workDir);
#else
    // Without the framework in the process the module loads and converts
    // the same.
    CHECK(check, !FrameworkLoaded());
    Module m = Load(path);
    CHECK(check, m.library != nullptr);
    if (m.library != nullptr) {
        CheckConversions(check, m, sample, workDir);
        CHECK(check, Unload(m));
    }
    CHECK(check, !FrameworkLoaded());
    if (!frameworkPath.empty())
        CheckFrameworkUnloadedFirst(check, path, frameworkPath, sample, workDir);
#endif
    (void)frameworkPath;
    if (check.failures == 0) std::printf("all checks passed\n");
    return check.failures == 0 ? 0 : 1;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
#else
int main(int argc, char** argv) {
#endif
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: module_host MODULE SAMPLE.bmp WORKDIR [FRAMEWORK]\n");
        return 2;
    }
    return Run(argv[1], argv[2], argv[3], argc == 5 ? argv[4] : NativeString());
}
