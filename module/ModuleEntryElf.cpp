// The module's entry on ELF systems: constructors and destructors run by the
// dynamic loader at load and unload, in the order the Windows entry has.
//
// Load: the priority-101 constructor runs before every constructor of default
// priority (static initialisers), and this file's default-priority
// constructor after those of the objects linked before it; the module's own
// code has no static initialisers. Unload runs the destructors in the
// reverse order. An ELF constructor cannot refuse
// a load; when the framework refuses to initialise the module's record, the
// module stays loaded but does not join the chain.
#include <dlfcn.h>

#include "module/ModuleAttach.h"

namespace sorvane {

namespace {

template <typename Fn>
bool Resolve(void* library, const char* name, Fn& out) {
    out = reinterpret_cast<Fn>(dlsym(library, name));
    return out != nullptr;
}

// The module's instance handle: the address it is loaded at.
void* Instance() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ModuleMain), &info) == 0) return nullptr;
    return info.dli_fbase;
}

__attribute__((constructor(101))) void SetAsideAtLoad() {
    ModuleRawMain(kProcessAttach);
}

__attribute__((destructor(101))) void AfterExitAtUnload() {
    ModuleRawMain(kProcessDetach);
}

__attribute__((constructor)) void AttachAtLoad() {
    ModuleMain(Instance(), kProcessAttach);
}

__attribute__((destructor)) void DetachAtUnload() {
    ModuleMain(Instance(), kProcessDetach);
}

}  // namespace

bool FindFramework(FrameworkCalls& calls) {
    // RTLD_NOLOAD: only a framework the host has already loaded counts.
    void* const library = dlopen(HOSTFRAMEWORK_LIBRARY_NAME, RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr) return false;
    const bool found =
        Resolve(library, "HostGetModuleState", calls.getModuleState) &&
        Resolve(library, "HostInitExtensionModule", calls.initExtensionModule) &&
        Resolve(library, "HostTermExtensionModule", calls.termExtensionModule) &&
        Resolve(library, "HostAllocate", calls.allocate) &&
        Resolve(library, "HostConstructLibraryRegistration", calls.constructLibraryRegistration);
    // The host's own reference keeps the framework loaded.
    dlclose(library);
    return found;
}

}  // namespace sorvane
