// The host framework stand-in: one module state, the chain of extension
// modules and a log of what was asked, for the whole process.
#include "HostFramework.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace {

// A lock that needs no construction at run time.
class Lock {
  public:
    void Acquire() {
#ifdef _WIN32
        AcquireSRWLockExclusive(&lock_);
#else
        pthread_mutex_lock(&lock_);
#endif
    }
    void Release() {
#ifdef _WIN32
        ReleaseSRWLockExclusive(&lock_);
#else
        pthread_mutex_unlock(&lock_);
#endif
    }

  private:
#ifdef _WIN32
    SRWLOCK lock_ = SRWLOCK_INIT;
#else
    pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
#endif
};

// The library-registration object. Constructing it puts the module at the
// head of the chain; destroying it takes the module out again.
class LibraryRegistration;

constexpr std::size_t kLogCapacity = 256;

// Everything the framework holds. Constant-initialised and never destroyed,
// so that a module unloading after the framework's own shutdown still finds
// well-defined state (an empty chain) instead of a destroyed object.
struct Framework {
    Lock lock;
    HostModuleState state{};
    LibraryRegistration* chain = nullptr;
    HostEvent log[kLogCapacity]{};
    std::size_t events = 0;
    bool failInit = false;
    bool failAllocate = false;
};

constinit Framework framework;

// Holds the framework's lock for one call.
struct Hold {
    Hold() { framework.lock.Acquire(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    ~Hold() { framework.lock.Release(); }
};

void Record(HostEventKind kind, std::int32_t flag, void* module, std::size_t size) {
    if (framework.events < kLogCapacity)
        framework.log[framework.events] = HostEvent{kind, flag, module, size};
    ++framework.events;
}

class LibraryRegistration {
  public:
    LibraryRegistration(const HostExtensionModule& record, std::int32_t systemModule)
        : module_(record.module),
          classes_(record.firstSharedClass),
          factories_(record.firstSharedFactory),
          system_(systemModule) {
        next_ = framework.chain;
        framework.chain = this;
        Record(HostEventRegister, systemModule, module_, 0);
    }
    LibraryRegistration(const LibraryRegistration&) = delete;
    LibraryRegistration& operator=(const LibraryRegistration&) = delete;
    ~LibraryRegistration() {
        for (LibraryRegistration** at = &framework.chain; *at != nullptr; at = &(*at)->next_) {
            if (*at == this) {
                *at = next_;
                break;
            }
        }
        Record(HostEventUnregister, 0, module_, 0);
    }

    void* module() const { return module_; }
    LibraryRegistration* next() const { return next_; }
    HostRegisteredModule Describe() const { return {module_, system_, classes_, factories_}; }

  private:
    LibraryRegistration* next_ = nullptr;
    void* module_;
    HostListEntry* classes_;
    HostListEntry* factories_;
    std::int32_t system_;
};

static_assert(sizeof(LibraryRegistration) <= HOSTFRAMEWORK_REGISTRATION_SIZE);
static_assert(alignof(LibraryRegistration) <= alignof(std::max_align_t));

// Destroys the registration objects of `module` (all of them when module is
// null) and gives their memory back. The lock is held.
void DestroyRegistrations(void* module) {
    LibraryRegistration* at = framework.chain;
    while (at != nullptr) {
        LibraryRegistration* const next = at->next();
        if (module == nullptr || at->module() == module) {
            at->~LibraryRegistration();
            std::free(at);
        }
        at = next;
    }
}

// The framework's own shutdown: whatever is still in the chain leaves it.
struct Shutdown {
    Shutdown() = default;
    Shutdown(const Shutdown&) = delete;
    Shutdown& operator=(const Shutdown&) = delete;
    ~Shutdown() {
        Hold hold;
        DestroyRegistrations(nullptr);
    }
};
const Shutdown atShutdown;

}  // namespace

extern "C" {

HOSTFRAMEWORK_API HostModuleState* HostGetModuleState(void) {
    Hold hold;
    Record(HostEventModuleState, 0, nullptr, 0);
    return &framework.state;
}

HOSTFRAMEWORK_API std::int32_t HostInitExtensionModule(HostExtensionModule* record,
                                                       void* instance) {
    Hold hold;
    if (record == nullptr || instance == nullptr || framework.failInit) {
        Record(HostEventInit, 0, instance, 0);
        return 0;
    }
    Record(HostEventInit, 1, instance, 0);
    if (record->initialized) return 1;
    record->initialized = 1;
    record->module = instance;
    record->resource = instance;
    // What the module's static initialisers registered is the module's own;
    // the lists set aside when it began loading become current again.
    HostModuleState& state = framework.state;
    record->firstSharedClass = state.classList;
    state.classList = state.classInit;
    record->firstSharedFactory = state.factoryList;
    state.factoryList = state.factoryInit;
    return 1;
}

HOSTFRAMEWORK_API void HostTermExtensionModule(HostExtensionModule* record,
                                               std::int32_t allModules) {
    Hold hold;
    Record(HostEventTerm, allModules, record != nullptr ? record->module : nullptr, 0);
    if (record == nullptr || !record->initialized) return;
    if (allModules) {
        DestroyRegistrations(nullptr);
    } else if (record->module != nullptr) {
        DestroyRegistrations(record->module);
    }
}

HOSTFRAMEWORK_API void* HostAllocate(std::size_t size) {
    Hold hold;
    void* const memory = framework.failAllocate ? nullptr : std::malloc(size == 0 ? 1 : size);
    Record(HostEventAllocate, memory != nullptr, nullptr, size);
    return memory;
}

HOSTFRAMEWORK_API void HostConstructLibraryRegistration(void* storage, HostExtensionModule* record,
                                                        std::int32_t systemModule) {
    if (storage == nullptr || record == nullptr) return;
    Hold hold;
    new (storage) LibraryRegistration(*record, systemModule);
}

HOSTFRAMEWORK_API std::size_t HostListRegisteredModules(HostRegisteredModule* out,
                                                        std::size_t capacity) {
    Hold hold;
    std::size_t count = 0;
    for (const LibraryRegistration* at = framework.chain; at != nullptr; at = at->next()) {
        if (out != nullptr && count < capacity) out[count] = at->Describe();
        ++count;
    }
    return count;
}

HOSTFRAMEWORK_API std::size_t HostReadEvents(std::size_t from, HostEvent* out,
                                             std::size_t capacity) {
    Hold hold;
    const std::size_t stored = framework.events < kLogCapacity ? framework.events : kLogCapacity;
    for (std::size_t i = 0; out != nullptr && i < capacity && from + i < stored; ++i)
        out[i] = framework.log[from + i];
    return framework.events;
}

HOSTFRAMEWORK_API void HostSetFailures(std::int32_t failInit, std::int32_t failAllocate) {
    Hold hold;
    framework.failInit = failInit != 0;
    framework.failAllocate = failAllocate != 0;
}

}  // extern "C"
