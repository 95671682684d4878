// Joining and leaving the host framework's chain of extension modules.
#include "module/ModuleAttach.h"

#include <cstddef>

namespace sorvane {

namespace {

// The memory asked of the framework for its library-registration object.
constexpr std::size_t kRegistrationBytes = 64;
static_assert(kRegistrationBytes >= HOSTFRAMEWORK_REGISTRATION_SIZE);

// The extension-module record: the module's only module-wide state. The
// framework keeps pointers to it from attach to detach, so it has to live in
// the module's writable data; it is zero when the module is loaded and only
// the framework writes to it.
constinit HostExtensionModule extensionRecord{};

// Steps 3 and 4 of process attach.
std::int32_t JoinFramework(const FrameworkCalls& framework, void* instance) {
    if (!framework.initExtensionModule(&extensionRecord, instance)) return 0;
    // Without memory the module is simply not registered; the load goes on.
    void* const storage = framework.allocate(kRegistrationBytes);
    if (storage != nullptr)
        framework.constructLibraryRegistration(storage, &extensionRecord, /*systemModule=*/0);
    return 1;
}

}  // namespace

std::int32_t ModuleRawMain(std::uint32_t reason) {
    FrameworkCalls framework;
    if (reason != kProcessAttach || !FindFramework(framework)) return 1;
    // Set aside the lists the host has so far, so that whatever this
    // module's static initialisers register forms lists of its own.
    HostModuleState* const state = framework.getModuleState();
    if (state == nullptr) return 1;
    state->classInit = state->classList;
    state->classList = nullptr;
    state->factoryInit = state->factoryList;
    state->factoryList = nullptr;
    return 1;
}

std::int32_t ModuleMain(void* instance, std::uint32_t reason) {
    FrameworkCalls framework;
    switch (reason) {
        case kProcessAttach:
            return FindFramework(framework) ? JoinFramework(framework, instance) : 1;
        case kProcessDetach:
            // The framework destroys this module's registration object,
            // which takes the module out of the chain.
            if (FindFramework(framework))
                framework.termExtensionModule(&extensionRecord, /*allModules=*/0);
            return 1;
        default:
            return 1;
    }
}

}  // namespace sorvane
