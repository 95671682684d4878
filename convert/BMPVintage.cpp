// The exported operation: read a BMP file whole, tone its colours in place,
// and replace the output with the result.
#include "module/BMPVintage.h"

#include "convert/BMPLayout.h"
#include "convert/Platform.h"

namespace {

int32_t Fail(std::string_view line) {
    sorvane::PrintErrorLine(line);
    return 1;
}

int32_t Convert(const BMPVintageChar* inputPath, const BMPVintageChar* outputPath) {
    using namespace sorvane;

    const auto input = ToNativePath(inputPath);
    if (!input) return Fail("Error opening input file");

    ByteBuffer file;
    switch (ReadWholeBMP(*input, file)) {
        case ReadStatus::Ok: break;
        case ReadStatus::OpenFailed: return Fail("Error opening input file");
        case ReadStatus::NotValid: return Fail(LayoutStatusLine(LayoutStatus::NotValid));
        case ReadStatus::NoMemory: return Fail("Not enough memory");
        case ReadStatus::ReadFailed: return Fail("Error reading input file");
    }
    // The input is closed by now, so input and output may be the same file.

    const LayoutStatus layout = ToneBMPFile(file.bytes());
    if (layout != LayoutStatus::Converted) return Fail(LayoutStatusLine(layout));

    const auto output = ToNativePath(outputPath);
    if (!output) return Fail("Error opening output file");
    switch (ReplaceFile(*output, file.bytes())) {
        case WriteStatus::Ok: return 0;
        case WriteStatus::OpenFailed: return Fail("Error opening output file");
        case WriteStatus::WriteFailed: return Fail("Error writing output file");
    }
    return Fail("Error writing output file");
}

}  // namespace

extern "C" BMPVINTAGE_API int32_t BMPVintage(const BMPVintageChar* inputPath,
                                             const BMPVintageChar* outputPath) {
    // Nothing may escape through the C boundary.
    try {
        return Convert(inputPath, outputPath);
    } catch (...) {
        return Fail("Not enough memory");
    }
}
