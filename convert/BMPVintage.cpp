// The module's export, a shell over the core library: the UTF-16 paths in
// UTF-8, the core's file call, and its status's line on standard error.
#include "module/BMPVintage.h"

#include <optional>
#include <string>

#include "convert/Platform.h"
#include "module/bmpv.h"

namespace {

// No value for a null path or one with an unpaired surrogate: the core then
// cannot open it, as it cannot open a null path.
std::optional<std::string> Utf8Path(const BMPVintageChar* path) {
    if (path == nullptr) return std::nullopt;
    std::size_t n = 0;
    while (path[n] != 0) ++n;
    static_assert(sizeof(BMPVintageChar) == sizeof(char16_t));
    return sorvane::Utf16ToUtf8({reinterpret_cast<const char16_t*>(path), n});
}

}  // namespace

extern "C" BMPVINTAGE_API int32_t BMPVintage(const BMPVintageChar* inputPath,
                                             const BMPVintageChar* outputPath) {
    // Nothing may escape through the C boundary.
    bmpv_status status = BMPV_E_NO_MEMORY;
    try {
        const std::optional<std::string> input = Utf8Path(inputPath);
        const std::optional<std::string> output = Utf8Path(outputPath);
        status = bmpv_tone_file(input ? input->c_str() : nullptr,
                                output ? output->c_str() : nullptr, 0, nullptr);
    } catch (...) {
        status = BMPV_E_NO_MEMORY;
    }
    if (status == BMPV_OK) return 0;
    sorvane::PrintErrorLine(bmpv_strerror(status));
    return 1;
}
