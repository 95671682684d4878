#include "tools/Signals.h"

#include <atomic>
#include <csignal>
#include <cstddef>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#endif

#include "tools/CommandLine.h"

namespace bmpvintage {

namespace {

using Char = sorvane::NativePath::value_type;

// One slot per converting thread, and room to spare. A thread takes its
// slot at its first temporary file and keeps it; a thread that finds none
// left has its files written unwatched.
constexpr std::size_t kSlots = kMaxJobs + 16;
// Longer names (a full path, on Windows) are not kept.
constexpr std::size_t kNameSize = 4096;

// A slot is written only by its own thread, with the signals held off, and
// read by a handler. `named` is set last, once the name and folder are in
// place, and cleared first: a handler that sees it set finds a whole name.
// `creating` is set from before the file's create until it is named (or
// the create failed), and from before its rename or removal until that is
// done: a handler on another thread waits for it to clear, so that a file
// made or moved meanwhile is not left behind. Only plain loads and
// stores of a `volatile sig_atomic_t` are used, which every target has
// (32-bit ARM without lock-free atomics included); fences order them
// against the other threads.
struct Slot {
    volatile std::sig_atomic_t named = 0;
    volatile std::sig_atomic_t creating = 0;
    int folder = -1;  // -1: `name` is a path
    Char name[kNameSize];
};

// The one table a signal handler can reach: it lives for the whole process.
Slot gSlots[kSlots];
// Set by the first handler: the process is ending, by this signal (POSIX)
// or console event (Windows, where it is only a flag).
volatile std::sig_atomic_t gEnding = 0;

// This thread's slot, once taken; only ever touched by this thread.
thread_local Slot* tOwnSlot = nullptr;

bool SameName(const Char* kept, const sorvane::NativePath& name) {
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (kept[i] != name[i]) return false;
    }
    return kept[name.size()] == Char{};
}

void RemoveFile(int folder, const Char* name) {
#ifdef _WIN32
    (void)folder;
    ::DeleteFileW(name);
#else
    ::unlinkat(folder >= 0 ? folder : AT_FDCWD, name, 0);
#endif
}

// A short wait for another thread; async-signal-safe.
void Nap() {
#ifdef _WIN32
    ::Sleep(1);
#else
    const timespec ms{0, 1000000};
    ::nanosleep(&ms, nullptr);
#endif
}

// Removes every file in the table, once gEnding is set; only
// async-signal-safe calls. A thread creating a file meanwhile is waited for
// (it cannot take an ending signal then, so it is never this one), and one
// that starts a create after this looked sees gEnding and makes none.
void RemoveAll() {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    for (Slot& slot : gSlots) {
        while (slot.creating != 0 && &slot != tOwnSlot) Nap();
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (slot.named == 0) continue;
        std::atomic_thread_fence(std::memory_order_acquire);
        RemoveFile(slot.folder, slot.name);
    }
}

[[noreturn]] void WaitToBeEnded() {
    for (;;) {
#ifdef _WIN32
        ::Sleep(INFINITE);
#else
        ::pause();
#endif
    }
}

#ifdef _WIN32
BOOL WINAPI OnConsoleEvent(DWORD) {
    gEnding = 1;
    RemoveAll();
    return FALSE;  // the default handler ends the process
}
#else
// Calls `use` with each signal whose default action ends the process: the
// program removes the temporary files in flight first. SIGPIPE and SIGXFSZ
// are not among them: they are ignored, so that the write fails and is
// reported. The core-dumping ones are among them for when another process
// sends them; a fault in the program itself is left to end it as usual.
template <typename Use>
void ForEachEndingSignal(Use use) {
    for (const int signal : {SIGALRM,   SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2,
                             SIGABRT,   SIGBUS, SIGFPE, SIGILL,  SIGSEGV, SIGTRAP,
#ifdef SIGPOLL
                             SIGPOLL,
#endif
#ifdef SIGPROF
                             SIGPROF,
#endif
#ifdef SIGVTALRM
                             SIGVTALRM,
#endif
#ifdef SIGXCPU
                             SIGXCPU,
#endif
#ifdef SIGSYS
                             SIGSYS,
#endif
#ifdef SIGPWR
                             SIGPWR,
#endif
#ifdef SIGSTKFLT
                             SIGSTKFLT,
#endif
                             0}) {
        if (signal != 0) use(signal);
    }
#ifdef SIGRTMIN
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) use(signal);
#endif
}

sigset_t EndingSignals() {
    sigset_t set;
    sigemptyset(&set);
    ForEachEndingSignal([&set](int signal) { sigaddset(&set, signal); });
    return set;
}

// Whether the system raised `signal` for a fault in the program's own code
// (a bad address, an illegal instruction...), rather than another process
// or the program sending it (si_code SI_USER, SI_QUEUE, SI_TKILL: zero or
// less).
bool IsOwnFault(int signal, const siginfo_t* info) {
    const bool fault = signal == SIGSEGV || signal == SIGBUS || signal == SIGFPE ||
                       signal == SIGILL || signal == SIGTRAP
#ifdef SIGSYS
                       || signal == SIGSYS
#endif
        ;
    return fault && info != nullptr && info->si_code > 0;
}

// Ends the process by `signal`, so that the parent sees the usual status.
// Only this one is let through: another one pending meanwhile, which would
// be taken first, is not.
[[noreturn]] void EndBy(int signal) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signal, &fallback, nullptr);
    ::raise(signal);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::_exit(128 + signal);
}

// Runs with every ending signal held off on its thread (sa_mask). The first
// signal ends the program: a handler on another thread that comes second
// waits for the first one to finish (two at once both remove the files, and
// the process ends by either).
void OnSignal(int signal, siginfo_t* info, void*) {
    if (IsOwnFault(signal, info)) EndBy(signal);  // the table may be what broke
    if (gEnding != 0) WaitToBeEnded();
    gEnding = signal;
    RemoveAll();
    EndBy(signal);
}

// The mask to restore once a file is created or settled.
thread_local sigset_t tUnheld;
#endif

// Gives this thread its slot, the first time. Not from a handler.
Slot* OwnSlot() {
    if (tOwnSlot != nullptr) return tOwnSlot;
#ifdef _WIN32
    static SRWLOCK lock = SRWLOCK_INIT;
    ::AcquireSRWLockExclusive(&lock);
#else
    static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    ::pthread_mutex_lock(&lock);
#endif
    static std::size_t taken = 0;
    if (taken < kSlots) tOwnSlot = &gSlots[taken++];
#ifdef _WIN32
    ::ReleaseSRWLockExclusive(&lock);
#else
    ::pthread_mutex_unlock(&lock);
#endif
    return tOwnSlot;
}

}  // namespace

void OpenMissingStandardDescriptors() {
#ifndef _WIN32
    // open() takes the lowest free descriptor, so each one fills its own.
    for (int fd = 0; fd < 3; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = ::open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
        if (opened != fd) ::_exit(1);  // no /dev/null: not safe to go on
    }
#endif
}

void RemoveTemporaryFilesOnSignals() {
#ifdef _WIN32
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
    struct sigaction action {};
    action.sa_sigaction = OnSignal;
    action.sa_flags = SA_SIGINFO;
    action.sa_mask = EndingSignals();
    ForEachEndingSignal([&action](int signal) {
        // A signal ignored by whoever started the program (nohup, a
        // background job) stays ignored.
        struct sigaction before {};
        if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) return;
        ::sigaction(signal, &action, nullptr);
    });
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

namespace {

// The ending signals are held off on this thread, and a handler on another
// thread waits (the slot's `creating`), from just before a file is created
// until it is in the table, and from just before it is renamed into place
// or removed until that is done: a signal that comes meanwhile is handled
// once the table says what is there to remove.
void HoldOff() {
#ifndef _WIN32
    const sigset_t held = EndingSignals();
    ::pthread_sigmask(SIG_BLOCK, &held, &tUnheld);
#endif
    Slot* const slot = OwnSlot();
    if (slot == nullptr) return;
    slot->creating = 1;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (gEnding != 0) {
        // A handler is ending the process and may have looked at this slot
        // already: nothing is made or moved.
        slot->creating = 0;
        WaitToBeEnded();
    }
}

void LetGo() {
    if (tOwnSlot != nullptr) tOwnSlot->creating = 0;
    std::atomic_thread_fence(std::memory_order_seq_cst);
#ifndef _WIN32
    ::pthread_sigmask(SIG_SETMASK, &tUnheld, nullptr);
#endif
    if (gEnding != 0) WaitToBeEnded();
}

}  // namespace

void TemporaryFilesInFlight::BeforeCreate() {
    HoldOff();
}

void TemporaryFilesInFlight::AfterCreate(int folder, const sorvane::NativePath* name) {
    Slot* const slot = tOwnSlot;
    if (name != nullptr && slot != nullptr && name->size() < kNameSize && gEnding == 0) {
        slot->named = 0;
        slot->folder = folder;
        for (std::size_t i = 0; i < name->size(); ++i) slot->name[i] = (*name)[i];
        slot->name[name->size()] = Char{};
        std::atomic_thread_fence(std::memory_order_release);
        slot->named = 1;
    }
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (gEnding != 0 && name != nullptr) {
        // A handler on another thread is ending the process and may have
        // looked at the table before this file was in it.
        RemoveFile(folder, name->c_str());
    }
    // Only now may a handler waiting for this slot go on.
    LetGo();
}

void TemporaryFilesInFlight::BeforeSettle(int, const sorvane::NativePath&) {
    HoldOff();
}

// The file leaves the table only once its name is gone; a rename that
// failed leaves it there, to be removed later or by a handler.
void TemporaryFilesInFlight::Settled(int folder, const sorvane::NativePath& temporary, bool gone) {
    Slot* const slot = tOwnSlot;
    if (gone && slot != nullptr && slot->named != 0 && slot->folder == folder &&
        SameName(slot->name, temporary)) {
        slot->named = 0;
    }
    LetGo();
}

TemporaryFilesInFlight& FilesInFlight() {
    static TemporaryFilesInFlight watch;
    return watch;
}

}  // namespace bmpvintage
