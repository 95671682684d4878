#include "tools/Signals.h"

#include <atomic>
#include <cstddef>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#endif

#include "tools/CommandLine.h"

namespace bmpvintage {

namespace {

using Char = sorvane::NativePath::value_type;

// A slot goes Free -> Filling (the name is being copied in) -> Named, and
// back to Free when the file is gone. A handler that removes the file marks
// it Claimed, and the slot then keeps its name until the process ends.
enum SlotState : int { kFree, kFilling, kNamed, kClaimed };

// One temporary output per converting thread, and room to spare.
constexpr std::size_t kSlots = kMaxJobs + 16;
// Longer names (rare: the file sits beside its output) are not kept.
constexpr std::size_t kNameSize = 4096;

struct Slot {
    std::atomic<int> state{kFree};
    Char name[kNameSize];
};

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "a signal handler may only touch lock-free atomics");

// The one table a signal handler can reach: it lives for the whole process.
Slot gSlots[kSlots];
std::atomic<bool> gEnding{false};

// The slot of the file this thread is writing: AfterCreate() and Gone() come from
// the converting thread, so only that thread ever reads a name it owns.
thread_local Slot* tOwnSlot = nullptr;

bool SameName(const Char* kept, const sorvane::NativePath& name) {
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (kept[i] != name[i]) return false;
    }
    return kept[name.size()] == Char{};
}

void WaitToBeEnded() {
    for (;;) {
#ifdef _WIN32
        ::Sleep(INFINITE);
#else
        ::pause();
#endif
    }
}

void RemoveFile(const Char* name) {
#ifdef _WIN32
    ::DeleteFileW(name);
#else
    ::unlink(name);
#endif
}

// Removes every file in the table; only async-signal-safe calls.
void RemoveAll() {
    gEnding.store(true);
    bool any = false;
    for (Slot& slot : gSlots) {
        int state = kNamed;
        if (slot.state.compare_exchange_strong(state, kClaimed) || state == kClaimed) {
            RemoveFile(slot.name);
            any = true;
        }
    }
    if (!any) return;
        // A thread told of its file just before may still be creating it: give
        // it a moment, then remove the same names again. AfterCreate() lets no new
        // file start from now on.
#ifdef _WIN32
    ::Sleep(20);
#else
    timespec pause{0, 20'000'000};
    ::nanosleep(&pause, nullptr);
#endif
    for (Slot& slot : gSlots) {
        if (slot.state.load() == kClaimed) RemoveFile(slot.name);
    }
}

#ifdef _WIN32
BOOL WINAPI OnConsoleEvent(DWORD) {
    RemoveAll();
    return FALSE;  // the default handler ends the process
}
#else
void OnSignal(int signal) {
    RemoveAll();
    // Ended by the same signal, so the parent sees the usual status.
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}
#endif

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
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, signal);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal ignored by whoever started the program (nohup, a
        // background job) stays ignored.
        struct sigaction before {};
        if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
        ::sigaction(signal, &action, nullptr);
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

// Signals are held off while a file is created and entered in the table:
// one that arrives meanwhile is handled once the file is there to remove.
void TemporaryFilesInFlight::BeforeCreate() {
#ifndef _WIN32
    sigset_t held;
    sigemptyset(&held);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held, signal);
    ::pthread_sigmask(SIG_BLOCK, &held, nullptr);
#endif
}

void TemporaryFilesInFlight::AfterCreate(int folder, const sorvane::NativePath* name) {
    (void)folder;
    struct Release {
        ~Release() {
#ifndef _WIN32
            sigset_t held;
            sigemptyset(&held);
            for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held, signal);
            ::pthread_sigmask(SIG_UNBLOCK, &held, nullptr);
#endif
        }
    } release;
    if (name == nullptr) return;
    const sorvane::NativePath& temporary = *name;
    if (temporary.size() >= kNameSize) return;
    for (Slot& slot : gSlots) {
        int state = kFree;
        if (!slot.state.compare_exchange_strong(state, kFilling)) continue;
        for (std::size_t i = 0; i < temporary.size(); ++i) slot.name[i] = temporary[i];
        slot.name[temporary.size()] = Char{};
        slot.state.store(kNamed);
        tOwnSlot = &slot;
        // The process is being ended: this file must not be made after the
        // handler looked for it.
        if (gEnding.load()) WaitToBeEnded();
        return;
    }
}

void TemporaryFilesInFlight::Gone(int folder, const sorvane::NativePath& temporary) {
    (void)folder;
    Slot* const slot = tOwnSlot;
    if (slot == nullptr || !SameName(slot->name, temporary)) return;
    tOwnSlot = nullptr;
    // A slot a handler has claimed stays as it is.
    int state = kNamed;
    slot->state.compare_exchange_strong(state, kFree);
}

TemporaryFilesInFlight& FilesInFlight() {
    static TemporaryFilesInFlight watch;
    return watch;
}

}  // namespace bmpvintage
