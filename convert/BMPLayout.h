// Where the colours of a BMP file live, and toning them in place.
//
// Pure functions over the bytes of a whole file: no I/O, no allocation. Tests,
// fuzzers and benchmarks call them directly.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace sorvane {

enum class LayoutStatus {
    Converted,    // every stored colour was toned; all other bytes are unchanged
    NotValid,     // the bytes do not form a BMP file this code can trust
    Unsupported,  // a well-formed BMP of a kind that is not converted
};

// The line printed on standard error for a refusal ("" for Converted).
std::string_view LayoutStatusLine(LayoutStatus status);

// Checks the whole file first; on any refusal the bytes are left untouched.
// On success every colour the file stores is toned and every other byte
// (headers, row padding, gaps, trailing data) is kept as it was.
LayoutStatus ToneBMPFile(std::span<std::uint8_t> file);

}  // namespace sorvane
