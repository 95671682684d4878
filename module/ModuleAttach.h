// What the module does when the platform loader attaches it to a process or
// detaches it, shared by every platform's entry.
#pragma once

#include <cstdint>

#include "HostFramework.h"

namespace sorvane {

// The loader's reasons for calling the module's entry.
enum LoaderReason : std::uint32_t {
    kProcessDetach = 0,
    kProcessAttach = 1,
    kThreadAttach = 2,
    kThreadDetach = 3,
};

// The framework operations used at attach and detach.
struct FrameworkCalls {
    HostGetModuleStateFn getModuleState = nullptr;
    HostInitExtensionModuleFn initExtensionModule = nullptr;
    HostTermExtensionModuleFn termExtensionModule = nullptr;
    HostAllocateFn allocate = nullptr;
    HostConstructLibraryRegistrationFn constructLibraryRegistration = nullptr;
};

// Finds the framework among the libraries already loaded in the process.
// False when it is not there (or lacks an operation): the host does not use
// it, and the module then has nothing to join. Defined by each platform.
bool FindFramework(FrameworkCalls& calls);

// Runs before the module's static initialisers at process attach, and again
// after its exit processing at process detach. Always succeeds (nonzero).
std::int32_t ModuleRawMain(std::uint32_t reason);

// Runs after the module's static initialisers at process attach and before
// its exit processing at process detach; thread attach and detach do nothing.
// Zero when the attach failed, which fails the load where the platform lets
// an entry refuse it.
std::int32_t ModuleMain(void* instance, std::uint32_t reason);

}  // namespace sorvane
