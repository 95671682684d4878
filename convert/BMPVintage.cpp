// The exported operation: read a BMP file whole, tone its colours in place,
// and replace the output with the result.
#include "module/BMPVintage.h"

#include "convert/ConvertFile.h"
#include "convert/Platform.h"

extern "C" BMPVINTAGE_API int32_t BMPVintage(const BMPVintageChar* inputPath,
                                             const BMPVintageChar* outputPath) {
    // Nothing may escape through the C boundary.
    std::string_view line;
    try {
        line = sorvane::ConvertFile(sorvane::ToNativePath(inputPath),
                                    sorvane::ToNativePath(outputPath));
    } catch (...) {
        line = "Not enough memory";
    }
    if (line.empty()) return 0;
    sorvane::PrintErrorLine(line);
    return 1;
}
