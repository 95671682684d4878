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

// Installs the handlers: SIGINT, SIGTERM and SIGHUP remove every temporary
// file in flight and end the program by the same signal, so its status is
// the usual one. SIGPIPE and SIGXFSZ are ignored: a reader that went away or
// a file size limit makes the write fail, which is reported and cleaned up
// like any other write error. On Windows, Ctrl+C, Ctrl+Break and closing the
// console remove the files in flight before the process ends.
void RemoveTemporaryFilesOnSignals();

// Keeps the names of the temporary files in flight where a signal handler
// can read them: a fixed table, written with atomic flags. A file that finds
// the table full is not removed by a signal (the table holds one per thread
// and more).
class TemporaryFilesInFlight final : public sorvane::TemporaryFileWatch {
  public:
    void BeforeCreate() override;
    void AfterCreate(int folder, const sorvane::NativePath* name) override;
    void Gone(int folder, const sorvane::NativePath& name) override;
};

// The one watch the program passes to every conversion.
TemporaryFilesInFlight& FilesInFlight();

}  // namespace bmpvintage
