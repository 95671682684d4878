/* HostFramework: a stand-in for the host application framework that extension
 * modules register with. Plain C so that any compiler can use it; nothing is
 * thrown across it.
 *
 * Hosts link against the library. Extension modules only include this header
 * for the record layout and the function types, and look the functions up at
 * load time by the names in HOSTFRAMEWORK_LIBRARY_NAME and the HostXxx names
 * below, so that they load in hosts without the framework too. */
#ifndef HOSTFRAMEWORK_H
#define HOSTFRAMEWORK_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(HOSTFRAMEWORK_BUILD)
#define HOSTFRAMEWORK_API __declspec(dllexport)
#else
#define HOSTFRAMEWORK_API __declspec(dllimport)
#endif
/* The name under which the framework is loaded in a process. */
#define HOSTFRAMEWORK_LIBRARY_NAME L"HostFramework.dll"
#else
#define HOSTFRAMEWORK_API __attribute__((visibility("default")))
#define HOSTFRAMEWORK_LIBRARY_NAME "libHostFramework.so.1"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* An entry of the run-time class list or of the object factory list. */
typedef struct HostListEntry {
    struct HostListEntry* next;
    const char* name;
} HostListEntry;

/* The framework's current module state. Each list has its head and an initial
 * slot; a module being loaded moves each head into its initial slot and clears
 * the head, so that its own static initialisers register into lists of their
 * own. Extension-module initialisation puts the set-aside lists back. */
typedef struct HostModuleState {
    HostListEntry* classList;
    HostListEntry* classInit;
    HostListEntry* factoryList;
    HostListEntry* factoryInit;
} HostModuleState;

/* The extension-module record. It lives in the module's writable data, zero
 * when the module is loaded; its fields belong to the framework. */
typedef struct HostExtensionModule {
    int32_t initialized;
    void* module;                      /* the module's instance handle */
    void* resource;                    /* where its resources are loaded from */
    HostListEntry* firstSharedClass;   /* the classes the module registered */
    HostListEntry* firstSharedFactory; /* the factories the module registered */
} HostExtensionModule;

/* The largest library-registration object; modules allocate this much. */
#define HOSTFRAMEWORK_REGISTRATION_SIZE 64

/* One module in the chain of extension modules, as hosts see it. */
typedef struct HostRegisteredModule {
    void* module;
    int32_t systemModule;
    HostListEntry* classes;
    HostListEntry* factories;
} HostRegisteredModule;

/* What the framework was asked to do, in the order asked. */
typedef enum HostEventKind {
    HostEventModuleState = 1, /* the module state was fetched */
    HostEventInit = 2,        /* a record was initialised (flag: 1 success, 0 failure) */
    HostEventTerm = 3,        /* a record was terminated (flag: all-modules) */
    HostEventAllocate = 4,    /* size bytes were asked for (flag: 1 given, 0 refused) */
    HostEventRegister = 5,    /* a module joined the chain (flag: system module) */
    HostEventUnregister = 6   /* a module left the chain */
} HostEventKind;

typedef struct HostEvent {
    int32_t kind;
    int32_t flag;
    void* module;
    size_t size;
} HostEvent;

/* The operations an extension module uses, all at load or unload. */
HOSTFRAMEWORK_API HostModuleState* HostGetModuleState(void);
/* Nonzero on success. */
HOSTFRAMEWORK_API int32_t HostInitExtensionModule(HostExtensionModule* record, void* instance);
/* Destroys the registration objects of the record's module (of every module
 * when allModules is nonzero), which takes them out of the chain. */
HOSTFRAMEWORK_API void HostTermExtensionModule(HostExtensionModule* record, int32_t allModules);
/* Null when the memory cannot be had. */
HOSTFRAMEWORK_API void* HostAllocate(size_t size);
/* Constructs the library-registration object in `storage` (memory from
 * HostAllocate, at least HOSTFRAMEWORK_REGISTRATION_SIZE bytes), which joins
 * the chain. The object and its memory belong to the framework from then on. */
HOSTFRAMEWORK_API void HostConstructLibraryRegistration(void* storage, HostExtensionModule* record,
                                                        int32_t systemModule);

typedef HostModuleState* (*HostGetModuleStateFn)(void);
typedef int32_t (*HostInitExtensionModuleFn)(HostExtensionModule*, void*);
typedef void (*HostTermExtensionModuleFn)(HostExtensionModule*, int32_t);
typedef void* (*HostAllocateFn)(size_t);
typedef void (*HostConstructLibraryRegistrationFn)(void*, HostExtensionModule*, int32_t);

/* For hosts: copies up to `capacity` entries of the chain, newest first, and
 * returns how many there are. */
HOSTFRAMEWORK_API size_t HostListRegisteredModules(HostRegisteredModule* out, size_t capacity);
/* For hosts: copies up to `capacity` events from the `from`-th on and returns
 * how many events there have been in all. */
HOSTFRAMEWORK_API size_t HostReadEvents(size_t from, HostEvent* out, size_t capacity);
/* For tests: while nonzero, initialisations fail / allocations are refused. */
HOSTFRAMEWORK_API void HostSetFailures(int32_t failInit, int32_t failAllocate);

#ifdef __cplusplus
}
#endif

#endif /* HOSTFRAMEWORK_H */
