// The core library's C entries for whole images: statuses and their text,
// the version, a BMP in memory, a BMP file by UTF-8 path, and a caller's
// pixels. Each is a thin layer over the internal C++ layer (convert/, tone/)
// that the program uses too; nothing here throws, prints or keeps state.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "convert/ConvertFile.h"
#include "convert/ConvertStream.h"
#include "convert/Platform.h"
#include "module/CoreStatus.h"
#include "tone/VintageTone.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace sorvane {

namespace {

struct StatusText {
    int status;
    const char* name;
    const char* message;
};

// The names are the JavaScript package's error codes.
constexpr StatusText kStatuses[] = {
    {BMPV_OK, "OK", "Success"},
    {BMPV_E_NOT_VALID, "ERR_BMP_NOT_VALID", "Not a valid BMP file"},
    {BMPV_E_UNSUPPORTED, "ERR_BMP_UNSUPPORTED", "Unsupported BMP file"},
    {BMPV_E_READ, "ERR_BMP_READ_FAILED", "Error reading input file"},
    {BMPV_E_OPEN_OUTPUT, "ERR_BMP_OPEN_OUTPUT_FAILED", "Error opening output file"},
    {BMPV_E_WRITE, "ERR_BMP_WRITE_FAILED", "Error writing output file"},
    {BMPV_E_OPEN_INPUT, "ERR_BMP_OPEN_INPUT_FAILED", "Error opening input file"},
    {BMPV_E_TRUNCATED, "ERR_BMP_TRUNCATED", "BMP file cut short"},
    {BMPV_E_EXISTS, "ERR_BMP_OUTPUT_EXISTS", "Output file exists"},
    {BMPV_E_INVALID_ARG, "ERR_BMP_INVALID_ARGUMENT", "Invalid argument"},
    {BMPV_E_FINISHED, "ERR_BMP_STREAM_FINISHED", "Stream already finished"},
    {BMPV_E_NO_MEMORY, "ERR_BMP_NO_MEMORY", "Not enough memory"},
};

const StatusText* Find(int status) {
    for (const StatusText& s : kStatuses)
        if (s.status == status) return &s;
    return nullptr;
}

bmpv_status FromLine(std::string_view line) {
    if (line.empty()) return BMPV_OK;
    for (const StatusText& s : kStatuses)
        if (line == s.message && s.status <= BMPV_E_OPEN_INPUT)
            return static_cast<bmpv_status>(s.status);
    return line == "Not enough memory" ? BMPV_E_NO_MEMORY : BMPV_E_READ;
}

bool ExistsError(int error) {
#ifdef _WIN32
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
#else
    return error == EEXIST;
#endif
}

// A UTF-8 path in the native form; no value for a null or empty one, or
// (on Windows) one that is not UTF-8.
std::optional<NativePath> FromUtf8(const char* path, bool& invalid) {
    invalid = false;
    if (path == nullptr || path[0] == '\0') return std::nullopt;
#ifdef _WIN32
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (n <= 0) {
        invalid = true;
        return std::nullopt;
    }
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(), n);
    wide.resize(static_cast<std::size_t>(n - 1));
    return wide;
#else
    return std::string(path);
#endif
}

bmpv_status ToneFile(const char* inPath, const char* outPath, bool noClobber, int& error) {
    bool badIn = false, badOut = false;
    const std::optional<NativePath> in = FromUtf8(inPath, badIn);
    const std::optional<NativePath> out = FromUtf8(outPath, badOut);
    const FileConversion done = ConvertFileDetailed(in, out, nullptr, noClobber);
    error = done.systemError;
    const bmpv_status status = FromLine(done.line);
#ifdef _WIN32
    if ((status == BMPV_E_OPEN_INPUT && badIn) || (status == BMPV_E_OPEN_OUTPUT && badOut))
        error = ERROR_NO_UNICODE_TRANSLATION;
#endif
    if (noClobber && (status == BMPV_E_OPEN_OUTPUT || status == BMPV_E_WRITE) && ExistsError(error))
        return BMPV_E_EXISTS;
    return status;
}

// Where blue, green and red lie in a pixel of each layout, and its size.
struct Places {
    std::size_t blue, green, red, size;
};
constexpr Places kPlaces[BMPV_LAYOUT_COUNT] = {
    {2, 1, 0, 3}, {0, 1, 2, 3}, {2, 1, 0, 4}, {0, 1, 2, 4}, {3, 2, 1, 4},
    {1, 2, 3, 4}, {2, 1, 0, 4}, {0, 1, 2, 4}, {3, 2, 1, 4}, {1, 2, 3, 4},
};

}  // namespace

}  // namespace sorvane

using namespace sorvane;

extern "C" {

BMPV_API const char* bmpv_strerror(int status) {
    const StatusText* s = Find(status);
    return s != nullptr ? s->message : "Unknown status";
}

BMPV_API const char* bmpv_status_name(int status) {
    const StatusText* s = Find(status);
    return s != nullptr ? s->name : "ERR_BMP_UNKNOWN";
}

BMPV_API long bmpv_version(void) {
    return BMPV_VERSION_NUMBER;
}

BMPV_API const char* bmpv_version_string(void) {
    return BMPV_VERSION_STRING;
}

BMPV_API bmpv_status bmpv_tone_buffer(const void* in, void* out, std::size_t len) {
    if (in == nullptr || out == nullptr) return BMPV_E_INVALID_ARG;
    if (in != out && Overlap(in, len, out, len)) return BMPV_E_INVALID_ARG;
    const auto* from = static_cast<const std::uint8_t*>(in);
    auto* to = static_cast<std::uint8_t*>(out);
    // Planned from the head and the size, as a file is; refused before any
    // byte of `out` is written.
    ColourPlan plan;
    const auto head = static_cast<std::size_t>(std::min<std::uint64_t>(len, kPlanHeadBytes));
    const StreamStatus s = PlanStream({from, head}, len, plan);
    if (s == StreamStatus::Unsupported) return BMPV_E_UNSUPPORTED;
    if (s != StreamStatus::Converted) return BMPV_E_NOT_VALID;
    if (to != from) std::memcpy(to, from, len);
    StreamToner toner(plan, len);
    toner.Arrived({to, len});
    return BMPV_OK;
}

BMPV_API bmpv_status bmpv_tone_file(const char* in_path, const char* out_path, unsigned flags,
                                    int* sys_error) {
    int error = 0;
    bmpv_status status = BMPV_E_INVALID_ARG;
    if ((flags & ~BMPV_NO_CLOBBER) == 0) {
        try {
            status = ToneFile(in_path, out_path, (flags & BMPV_NO_CLOBBER) != 0, error);
        } catch (...) {  // std::bad_alloc, from the paths
            status = BMPV_E_NO_MEMORY;
            error = 0;
        }
    }
    if (sys_error != nullptr) *sys_error = status == BMPV_OK ? 0 : error;
    return status;
}

BMPV_API bmpv_status bmpv_tone_pixels(void* row0, std::size_t width, std::size_t height,
                                      std::ptrdiff_t stride, bmpv_layout layout) {
    if (static_cast<unsigned>(layout) >= BMPV_LAYOUT_COUNT) return BMPV_E_INVALID_ARG;
    if (width == 0 || height == 0) return BMPV_OK;
    if (row0 == nullptr) return BMPV_E_INVALID_ARG;
    const std::size_t pixelBytes = kPlaces[layout].size;
    constexpr std::size_t kMax =
        static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
    if (width > kMax / pixelBytes) return BMPV_E_INVALID_ARG;
    const std::size_t rowBytes = width * pixelBytes;
    // |stride|, without overflow for the most negative one.
    const std::size_t step = stride == 0  ? rowBytes
                             : stride < 0 ? std::size_t{0} - static_cast<std::size_t>(stride)
                                          : static_cast<std::size_t>(stride);
    if (step < rowBytes) return BMPV_E_INVALID_ARG;
    if (height - 1 > (kMax - rowBytes) / step) return BMPV_E_INVALID_ARG;
    // Rows bottom-up are the same rows from the lowest address up: each is
    // toned on its own, so their order does not matter.
    auto* first = static_cast<std::uint8_t*>(row0);
    if (stride < 0) first -= (height - 1) * step;
    // Packed rows are one run of pixels.
    const std::size_t rows = step == rowBytes ? 1 : height;
    const std::size_t pixels = step == rowBytes ? width * height : width;
    for (std::size_t y = 0; y < rows; ++y) {
        std::uint8_t* const row = first + y * step;
        const Places& p = kPlaces[layout];
        if (layout == BMPV_BGR)
            ToneRun({row, pixels * 3});  // a 24-bit BMP's own rows
        else
            ToneSpacedPixels(row, pixels, p.size, p.blue, p.green, p.red);
    }
    return BMPV_OK;
}

}  // extern "C"
