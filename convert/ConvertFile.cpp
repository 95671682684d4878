#include "convert/ConvertFile.h"

#include "convert/BMPLayout.h"

namespace sorvane {

namespace {

std::string_view Convert(const std::optional<NativePath>& input,
                         const std::optional<NativePath>& output) {
    if (!input) return "Error opening input file";

    ByteBuffer file;
    switch (ReadWholeBMP(*input, file)) {
        case ReadStatus::Ok:
            break;
        case ReadStatus::OpenFailed:
            return "Error opening input file";
        case ReadStatus::NotValid:
            return LayoutStatusLine(LayoutStatus::NotValid);
        case ReadStatus::NoMemory:
            return "Not enough memory";
        case ReadStatus::ReadFailed:
            return "Error reading input file";
    }
    // The input is closed by now, so input and output may be the same file.

    const LayoutStatus layout = ToneBMPFile(file.bytes());
    if (layout != LayoutStatus::Converted) return LayoutStatusLine(layout);

    if (!output) return "Error opening output file";
    switch (ReplaceFile(*output, file.bytes())) {
        case WriteStatus::Ok:
            return {};
        case WriteStatus::OpenFailed:
            return "Error opening output file";
        case WriteStatus::WriteFailed:
            return "Error writing output file";
    }
    return "Error writing output file";
}

}  // namespace

std::string_view ConvertFile(const std::optional<NativePath>& input,
                             const std::optional<NativePath>& output) noexcept {
    try {
        return Convert(input, output);
    } catch (...) {
        return "Not enough memory";
    }
}

}  // namespace sorvane
