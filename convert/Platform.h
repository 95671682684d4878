// The few operating-system services a conversion needs: opening a file by a
// UTF-16 path, reading it in parts, replacing a file safely, and printing a
// line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "convert/ConvertStream.h"
#include "module/BMPVintage.h"

namespace sorvane {

#ifdef _WIN32
using NativePath = std::wstring;  // files are opened by their wide path
#else
using NativePath = std::string;  // UTF-8
#endif

// Converts a null-terminated UTF-16 path to the native form. No value for a
// null path, an empty one, or (on POSIX) one holding an unpaired surrogate.
std::optional<NativePath> ToNativePath(const BMPVintageChar* path);

#ifdef _WIN32
// The path in the `\\?\` form the file functions take at any length:
// absolute (a relative or drive-relative path is resolved against the
// current folders), `\\?\UNC\server\share\...` for a network path. A path
// already in that form, or naming a device (`\\.\`), is returned as it is.
std::wstring ExtendedLengthPath(const std::wstring& path);
#endif

// Strict UTF-16 to UTF-8: surrogate pairs are combined; no value when a
// surrogate has no partner.
std::optional<std::string> Utf16ToUtf8(std::u16string_view text);

// An input file opened for a conversion, read from its start.
class InputFile : public ByteSource {
  public:
    virtual ~InputFile() = default;
    // The size the file had when it was opened.
    virtual std::uint64_t Size() const = 0;
    // The system's error code of the last read that failed, 0 if none did
    // (a change seen by Unchanged() is no system error).
    virtual int SystemError() const { return 0; }
    // The read and write bits a new output made from it takes before the
    // umask (CreateOutputFile's `newMode`): the file's own on POSIX, as cp
    // keeps them, so a private image stays private.
    virtual unsigned NewOutputMode() const { return 0666; }
};

enum class InputStatus { Ok, OpenFailed, ReadFailed };

// Opens a regular file for reading (anything else fails to open, without
// waiting on a FIFO or a device). Unchanged() compares the file's size and
// modification times with those it had when opened. Null on failure, with
// the reason in `status` and, where the system gave one, its error code
// (errno; GetLastError() on Windows) in `*systemError`.
std::unique_ptr<InputFile> OpenInputFile(const NativePath& path, InputStatus& status,
                                         int* systemError = nullptr);

// Told of each temporary file a conversion writes beside its output, so that
// a program can remove the ones in flight when it is killed, and only its
// own. All calls come on the converting thread:
// - BeforeCreate() just before the file is created (O_EXCL), and
//   AfterCreate() just after: `name` is null when the create failed, else
//   the file now exists as `name` in the folder open on `folder`, a
//   descriptor the output holds until after Settled(). On Windows `folder` is
//   -1 and `name` the file's full path. A watch may hold signals off
//   between the two calls, so that a file is never made unseen.
// - BeforeSettle() just before the file is renamed into place or removed,
//   and Settled() just after, `gone` telling whether its name went (a
//   failed rename leaves it, to be removed later): until then it is still
//   the watch's to remove. A watch may hold signals off between the two
//   calls, so that a file is never left between its table and its place.
class TemporaryFileWatch {
  public:
    virtual void BeforeCreate() {}
    virtual void AfterCreate(int folder, const NativePath* name) = 0;
    virtual void BeforeSettle(int /*folder*/, const NativePath& /*name*/) {}
    virtual void Settled(int /*folder*/, const NativePath& /*name*/, bool /*gone*/) {}

  protected:
    ~TemporaryFileWatch() = default;
};

// The file that will replace the output: a new file in the output's folder,
// renamed over the output by Commit(). Until then the output is untouched; a
// file destroyed before its Commit() removes itself.
class OutputFile : public ByteSink {
  public:
    virtual ~OutputFile() = default;
    // Puts the written bytes in place of the output; false on failure, and
    // the output is then as it was.
    virtual bool Commit() = 0;
    // The system's error code of the last call that failed (a write, the
    // copy, the sync, the rename), 0 if none did or the failure was no
    // system call's.
    virtual int SystemError() const { return 0; }
};

// Prepares to replace the file at `path`; a symbolic link is followed, so
// the file it points at is replaced. Null ("Error opening output file") when
// the output is not a regular file, is one the caller may not write (by its
// permission bits, as opening it for writing would judge; read-only on
// Windows), when no new file can be made beside it, or (POSIX, EACCES) when
// a name on the way or the output itself lies in a world-writable sticky
// folder and belongs to neither the caller nor that folder's owner: such a
// link is not followed, such a folder not entered, such a file or FIFO not
// replaced, whatever the kernel's fs.protected_* settings say. A link in
// procfs (/proc/PID/root, /proc/PID/cwd, /proc/self/fd/N) is followed by the
// kernel to the folder it leads to, not by its text.
//
// The output's folder is looked up once, here, one name at a time; on POSIX
// it is then held open, and the new file, the checks, the rename and the
// removal act on that folder and the output's name in it, so a folder on
// the way renamed or swapped for a link meanwhile does not redirect them.
// On Windows every folder on the way is held open without delete sharing
// until the output is destroyed, so none can be renamed or replaced.
//
// Commit() renames only while the output's name still holds the file seen
// here, unchanged (size, modification and change times), or still none: a
// file saved there since, or written into, is kept, and Commit() fails
// (system error 0; EEXIST for a new output whose name was taken).
//
// Replacing an existing file keeps its permission bits (less set-user-ID and
// set-group-ID, which any write clears), its owner and group where the
// caller may set them, and its extended attributes (which carry POSIX ACLs),
// read whatever the caller may read of the file; where they cannot be read
// (no descriptor left, say), Commit() fails before the rename and the old
// file stays. On Windows ReplaceFileW keeps its attributes, ACLs, streams
// and creation time. It is synced before it takes the output's place, and
// the folder after (except on Windows; a folder the caller cannot open, as
// a -wx one, is synced by its file system, or not at all): everything that
// can fail is checked before the rename, and a Commit() that has renamed
// succeeds. A new output gets `newMode` (of it the read and write bits)
// less the umask, and is not synced: its input is still there (on Windows
// its move is written through). A replaced file is a new file: other hard
// links to the old one keep the old image. On Windows a link that leads
// nowhere is refused rather than followed.
//
// `watch`, when given, is told of the temporary file (TemporaryFileWatch).
// `*systemError` receives the system's error code of a refusal, where it
// gave one.
//
// `sameFileAs`, when given (an in-place conversion), is the input the output
// must be: the output's name is refused ("Error opening output file") unless
// it leads to that very file, both when the output is prepared and again
// just before the rename.
//
// `noClobber`: an existing output (a file, a link, anything) is refused
// (EEXIST; ERROR_FILE_EXISTS on Windows), and Commit() gives the new file
// the name only while it is free, atomically: a file that took it meanwhile
// is kept and Commit() fails with that same error.
std::unique_ptr<OutputFile> CreateOutputFile(const NativePath& path,
                                             TemporaryFileWatch* watch = nullptr,
                                             int* systemError = nullptr,
                                             const InputFile* sameFileAs = nullptr,
                                             unsigned newMode = 0666, bool noClobber = false);

// Opens the regular file `relative` (a path of names inside `root`, with no
// "." or ".." and no root of its own) beneath the folder `root`, following
// no symbolic link on the way or at its end: a link gives OpenFailed with
// ELOOP (on Windows ERROR_CANT_RESOLVE_FILENAME). `root` itself is opened as
// OpenInputFile would follow it (a folder the user named).
std::unique_ptr<InputFile> OpenInputFileBeneath(const NativePath& root, const NativePath& relative,
                                                InputStatus& status, int* systemError = nullptr);

// Makes the folder `path` and those missing above it, to any depth, one name
// at a time on the folder held open before it (mkdirat), following links and
// entering folders on the way only as CreateOutputFile's walk does: nothing
// is created through a name it would refuse. The folders made get `mode`
// less the umask (POSIX). 0 on success (the folders exist), else the
// system's error code.
int MakeOutputFolders(const NativePath& path, unsigned mode = 0777);

// The file CreateOutputFile(path) would replace or create: symbolic links
// followed exactly as it follows them (a dangling one to the name it leads
// to). No value where CreateOutputFile would refuse the path on the way.
std::optional<NativePath> ResolveOutputPath(const NativePath& path);

// The system's text for an error code of the kinds above, in UTF-8
// ("No such file or directory").
std::string SystemErrorText(int systemError);

// Writes `line` and a line feed to standard error in a single write.
void PrintErrorLine(std::string_view line);

}  // namespace sorvane
