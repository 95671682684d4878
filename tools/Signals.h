// The program's care for its process: descriptors 0-2 that were left closed,
// and the temporary files to remove when it is interrupted.
#pragma once

#include "convert/Platform.h"

namespace bmpvintage {

// Puts /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no file the program opens later takes one of them (a line meant for
// standard error would land in it). Standard input is opened for writing
// only and the other two for reading only: using them fails as it would
// have failed on a closed descriptor, and nothing is hidden. Called first.
void OpenMissingStandardDescriptors();

// Installs the handlers: every signal whose default action ends the process
// (SIGALRM, SIGHUP, SIGINT, SIGPOLL, SIGPROF, SIGPWR, SIGQUIT, SIGSTKFLT,
// SIGTERM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGXCPU, SIGRTMIN to SIGRTMAX, and
// SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGSYS and SIGTRAP when sent
// rather than raised by a fault of the program's own) removes every
// temporary file in flight and ends the program by the first of them
// received, so its status is the usual one. A fault ends the program at
// once, as it would without a handler. A signal ignored when the program
// starts (nohup) stays ignored. SIGPIPE and SIGXFSZ are ignored: a reader that went away or
// a file size limit makes the write fail, which is reported and cleaned up
// like any other write error. On Windows, Ctrl+C, Ctrl+Break and closing the
// console remove the files in flight before the process ends.
void RemoveTemporaryFilesOnSignals();

// Keeps the temporary files in flight where a signal handler can read them:
// a fixed table of one slot per converting thread, each holding the folder
// descriptor and the name the file was created as. A file is entered only
// once it exists and leaves once its name is gone (the ending signals are
// held off on its thread from BeforeCreate() to AfterCreate() and from
// BeforeSettle() to Settled(), and a handler on another thread waits for
// those), and a handler removes it relative to that
// folder, never by a path looked up again. A thread that finds the table
// full has its files left unwatched.
class TemporaryFilesInFlight final : public sorvane::TemporaryFileWatch {
  public:
    void BeforeCreate() override;
    void AfterCreate(int folder, const sorvane::NativePath* name) override;
    void BeforeSettle(int folder, const sorvane::NativePath& name) override;
    void Settled(int folder, const sorvane::NativePath& name, bool gone) override;
};

// The one watch the program passes to every conversion.
TemporaryFilesInFlight& FilesInFlight();

}  // namespace bmpvintage
