#include "convert/ConvertFile.h"

#include <algorithm>
#include <memory>
#include <new>

#include "convert/ConvertStream.h"

namespace sorvane {

namespace {

FileConversion Convert(std::unique_ptr<InputFile> in, const std::optional<NativePath>& output,
                       TemporaryFileWatch* watch, bool inPlace, bool noClobber = false) {
    int error = 0;
    std::unique_ptr<OutputFile> out;
    const std::string_view line = ConvertFrom(*in, in->Size(), [&]() -> ByteSink* {
        if (output)
            out = CreateOutputFile(*output, watch, &error, inPlace ? in.get() : nullptr, noClobber);
        return out.get();
    });
    if (line == StreamStatusLine(StreamStatus::OpenOutputFailed)) return {line, error};
    if (line == StreamStatusLine(StreamStatus::ReadFailed))
        return {line, in->SystemError() != 0 ? in->SystemError() : out ? out->SystemError() : 0};
    if (line == StreamStatusLine(StreamStatus::WriteFailed)) return {line, out->SystemError()};
    if (!line.empty()) return {line};
    // Closed first: the output may be the input, and Windows replaces no
    // file that is still open. Any change to the input until now, another
    // file saved under its name included, has been seen by Unchanged(); from
    // here Commit() sees it.
    in.reset();
    if (!out->Commit()) return {StreamStatusLine(StreamStatus::WriteFailed), out->SystemError()};
    return {};
}

}  // namespace

std::string_view ConvertFrom(ByteSource& in, std::uint64_t size,
                             const std::function<ByteSink*()>& openOutput) noexcept {
    // One buffer for the whole conversion, no larger than the input.
    const auto bufferSize =
        static_cast<std::size_t>(std::clamp<std::uint64_t>(size, kMinStreamBuffer, kStreamPart));
    const std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[bufferSize]);
    if (!buffer) return "Not enough memory";
    return StreamStatusLine(ConvertStream(in, size, {buffer.get(), bufferSize}, openOutput));
}

std::string_view ConvertFile(const std::optional<NativePath>& input,
                             const std::optional<NativePath>& output) noexcept {
    return ConvertFileDetailed(input, output).line;
}

FileConversion ConvertFileDetailed(const std::optional<NativePath>& input,
                                   const std::optional<NativePath>& output,
                                   TemporaryFileWatch* watch, bool noClobber) noexcept {
    try {
        if (!input) return {"Error opening input file"};
        InputStatus opened = InputStatus::OpenFailed;
        int error = 0;
        std::unique_ptr<InputFile> in = OpenInputFile(*input, opened, &error);
        if (!in) {
            return {opened == InputStatus::ReadFailed ? "Error reading input file"
                                                      : "Error opening input file",
                    error};
        }
        return Convert(std::move(in), output, watch, false, noClobber);
    } catch (...) {
        return {"Not enough memory"};
    }
}

FileConversion ConvertOpenedFile(std::unique_ptr<InputFile> input,
                                 const std::optional<NativePath>& output, TemporaryFileWatch* watch,
                                 bool inPlace) noexcept {
    try {
        if (!input) return {"Error opening input file"};
        return Convert(std::move(input), output, watch, inPlace);
    } catch (...) {
        return {"Not enough memory"};
    }
}

}  // namespace sorvane
