// One conversion from file to file, without printing anything. The exported
// BMPVintage prints the line this returns; the bmpvintage program prefixes it
// with the file's name. Not part of the public interface.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "convert/Platform.h"

namespace sorvane {

// Streams `input` through one buffer of at most kStreamPart bytes, toning its
// colours, into a new file that then replaces `output`. Returns an empty
// view on success, otherwise the line that says why the file was not
// converted (one of those listed in module/BMPVintage.h). No value for a
// path means it could not be opened. Nothing at `output` is created or
// changed unless the conversion succeeds. Throws nothing.
std::string_view ConvertFile(const std::optional<NativePath>& input,
                             const std::optional<NativePath>& output) noexcept;

// The outcome of a conversion, for a program that says more than the line.
struct FileConversion {
    std::string_view line;  // empty on success, else as ConvertFile's
    int systemError = 0;    // the system's error code behind it, 0 if none
};

// ConvertFile, with the system's error code where there was one, and
// `watch` told of the temporary output file (see CreateOutputFile, which
// also says what `noClobber` does).
FileConversion ConvertFileDetailed(const std::optional<NativePath>& input,
                                   const std::optional<NativePath>& output,
                                   TemporaryFileWatch* watch = nullptr,
                                   bool noClobber = false) noexcept;

// ConvertFileDetailed for an input already open (OpenInputFileBeneath). With
// `inPlace` the output must be that same file (see CreateOutputFile's
// `sameFileAs`).
FileConversion ConvertOpenedFile(std::unique_ptr<InputFile> input,
                                 const std::optional<NativePath>& output, TemporaryFileWatch* watch,
                                 bool inPlace) noexcept;

// The streaming step of ConvertFile for any source of `size` bytes: one
// buffer sized for the input, ConvertStream into the sink `openOutput`
// gives. Returns "" or the line; committing a file sink is the caller's.
std::string_view ConvertFrom(ByteSource& in, std::uint64_t size,
                             const std::function<ByteSink*()>& openOutput) noexcept;

}  // namespace sorvane
