// The exported operation: stream a BMP file through one buffer, toning its
// colours part by part, into a new file that then replaces the output.
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
