#include "convert/ConvertFile.h"

#include <algorithm>
#include <memory>
#include <new>

#include "convert/ConvertStream.h"

namespace sorvane {

namespace {

std::string_view Convert(const std::optional<NativePath>& input,
                         const std::optional<NativePath>& output) {
    if (!input) return "Error opening input file";
    InputStatus opened = InputStatus::OpenFailed;
    std::unique_ptr<InputFile> in = OpenInputFile(*input, opened);
    if (!in) {
        return opened == InputStatus::ReadFailed ? "Error reading input file"
                                                 : "Error opening input file";
    }

    std::unique_ptr<OutputFile> out;
    const std::string_view line = ConvertFrom(*in, in->Size(), [&]() -> ByteSink* {
        if (output) out = CreateOutputFile(*output);
        return out.get();
    });
    if (!line.empty()) return line;
    // Closed first: the output may be the input, and Windows replaces no
    // file that is still open.
    in.reset();
    if (!out->Commit()) return StreamStatusLine(StreamStatus::WriteFailed);
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
    try {
        return Convert(input, output);
    } catch (...) {
        return "Not enough memory";
    }
}

}  // namespace sorvane
