// The module's entry on Windows.
//
// The loader calls the entry at process and thread attach and detach. The
// step that has to come before the C runtime runs the module's static
// initialisers (and after its exit processing at detach) is ModuleRawMain;
// the rest is DllMain, which the C runtime calls once its own start-up is
// done. With MinGW the module's entry point is SorvaneModuleEntry, which
// wraps the runtime's DllMainCRTStartup; runtimes that call a raw hook
// themselves (Microsoft's, including those for Windows CE) find it in
// _pRawDllMain.
#include <windows.h>

#include "module/ModuleAttach.h"

namespace sorvane {

namespace {

template <typename Fn>
bool Resolve(HMODULE library, const char* name, Fn& out) {
    // Through the generic function pointer type, which converts to any other.
    using Generic = void (*)();
    out = reinterpret_cast<Fn>(reinterpret_cast<Generic>(GetProcAddress(library, name)));
    return out != nullptr;
}

BOOL WINAPI RawDllMain(HANDLE, DWORD reason, LPVOID) {
    return ModuleRawMain(reason) != 0;
}

}  // namespace

bool FindFramework(FrameworkCalls& calls) {
    // Only a framework the host has already loaded counts; nothing is loaded
    // from inside the loader's call.
    const HMODULE library = GetModuleHandleW(HOSTFRAMEWORK_LIBRARY_NAME);
    if (library == nullptr) return false;
    return Resolve(library, "HostGetModuleState", calls.getModuleState) &&
           Resolve(library, "HostInitExtensionModule", calls.initExtensionModule) &&
           Resolve(library, "HostTermExtensionModule", calls.termExtensionModule) &&
           Resolve(library, "HostAllocate", calls.allocate) &&
           Resolve(library, "HostConstructLibraryRegistration", calls.constructLibraryRegistration);
}

}  // namespace sorvane

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    return sorvane::ModuleMain(instance, reason) != 0;
}

#if defined(__MINGW32__)

extern "C" BOOL WINAPI DllMainCRTStartup(HANDLE instance, DWORD reason, LPVOID reserved);

// The entry point named to the linker. At a failed attach the runtime has
// already run DllMain's detach and its own exit processing.
extern "C" BOOL WINAPI SorvaneModuleEntry(HANDLE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH && !sorvane::RawDllMain(instance, reason, reserved))
        return FALSE;
    const BOOL result = DllMainCRTStartup(instance, reason, reserved);
    if (reason == DLL_PROCESS_DETACH || (reason == DLL_PROCESS_ATTACH && !result))
        sorvane::RawDllMain(instance, DLL_PROCESS_DETACH, reserved);
    return result;
}

#else

extern "C" BOOL(WINAPI* const _pRawDllMain)(HANDLE, DWORD, LPVOID) = &sorvane::RawDllMain;

#endif
