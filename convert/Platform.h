// The few operating-system services a conversion needs: opening a file by a
// UTF-16 path, reading it whole, replacing a file safely, and printing a line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

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

// Strict UTF-16 to UTF-8: surrogate pairs are combined; no value when a
// surrogate has no partner.
std::optional<std::string> Utf16ToUtf8(std::u16string_view text);

// Gives back a ByteBuffer's memory, the way its platform's ReadWholeBMP took it.
struct ReleaseBytes {
    void operator()(std::uint8_t* bytes) const noexcept;
};

// A heap buffer that may fail to allocate; its bytes start uninitialised.
struct ByteBuffer {
    std::unique_ptr<std::uint8_t[], ReleaseBytes> data;
    std::size_t size = 0;
    std::span<std::uint8_t> bytes() { return {data.get(), size}; }
};

enum class ReadStatus { Ok, OpenFailed, NotValid, NoMemory, ReadFailed };

// Told about a file's bytes as they arrive, so that they can be worked on
// while they are still in the processor's cache.
class ReadObserver {
  public:
    // `file` is the whole buffer, at the size the file had when opened; its
    // first `arrived` bytes have been read (more at each call).
    virtual void Arrived(std::span<std::uint8_t> file, std::size_t arrived) = 0;

  protected:
    ~ReadObserver() = default;
};

// Reads a whole regular file into one buffer sized from the file itself. A
// file that does not begin with "BM" is refused before anything is allocated.
// A file that shrinks while being read is taken at the size it ends with
// (out.size is then smaller than the buffer `observer` saw). The observer, if
// any, may be told of the bytes in parts as they are read, or not at all.
ReadStatus ReadWholeBMP(const NativePath& path, ByteBuffer& out, ReadObserver* observer = nullptr);

enum class WriteStatus { Ok, OpenFailed, WriteFailed };

// Replaces the file at `path` (following symbolic links to their target) with
// `bytes`: written to a new file in the same directory, checked, closed, then
// renamed over the target. An existing target keeps its permission bits. On
// failure the target is untouched and the new file removed.
WriteStatus ReplaceFile(const NativePath& path, std::span<const std::uint8_t> bytes);

// Writes `line` and a line feed to standard error in a single write.
void PrintErrorLine(std::string_view line);

}  // namespace sorvane
