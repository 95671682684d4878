// Where a BMP file stores its colours: the reading half of the conversion.
//
// PlanColours reads the headers of a whole file (nothing else, no I/O, no
// allocation) and says which bytes hold colours and how they are coded. Every
// place it names is checked to lie inside the file, with 64-bit arithmetic
// that cannot overflow, so the toning step can use it without further checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "convert/BMPLayout.h"

namespace sorvane {

// A colour table: `count` entries of blue, green, red, the first at `first`.
// Entries are 3 bytes after the 12-byte core header and 4 bytes (a reserved
// byte last, never changed) after every other header.
struct ColourTable {
    std::uint64_t first = 0;
    std::uint64_t count = 0;
    std::uint32_t entrySize = 4;
};

// How the pixel rows carry colours.
enum class PixelCoding {
    None,      // indices into the table (compressed or not) or no pixels: not touched
    Bgr24,     // 3 bytes a pixel: blue, green, red
    Packed16,  // a little-endian 16-bit word a pixel, channels given by masks
    Packed32,  // a little-endian 32-bit word a pixel, channels given by masks
};

// The colour channels of a packed pixel. Each mask is non-empty, contiguous,
// inside the pixel word and disjoint from the other two; bits outside all
// three (alpha, unused) are kept.
struct ChannelMasks {
    std::uint32_t red = 0;
    std::uint32_t green = 0;
    std::uint32_t blue = 0;
};

// `rows` rows of `rowPixels` pixels, the first row at `first`, each row
// `stride` bytes after the previous one in file order. The last row's padding
// may lie past the end of the file; the pixels never do.
struct PixelRows {
    PixelCoding coding = PixelCoding::None;
    std::uint64_t first = 0;
    std::uint64_t stride = 0;
    std::uint64_t rowPixels = 0;
    std::uint64_t rows = 0;
    ChannelMasks masks;
};

struct ColourPlan {
    ColourTable table;
    PixelRows pixels;
};

// Converted means `plan` names every stored colour of the file; otherwise the
// file is refused for the reason given and `plan` is unspecified.
LayoutStatus PlanColours(std::span<const std::uint8_t> file, ColourPlan& plan);

// PlanColours reads no byte at or past this offset.
inline constexpr std::size_t kPlanHeadBytes = 70;

// The same plan for a file of `size` bytes from its first bytes alone, so
// that a file can be planned before the rest of it has been read. `head`
// must hold the first kPlanHeadBytes bytes (the whole file if shorter).
LayoutStatus PlanColours(std::span<const std::uint8_t> head, std::uint64_t size, ColourPlan& plan);

// Tones, of the colours `plan` names, those whose last byte lies at an offset
// in [from, to). Calls over consecutive ranges that together cover the file
// tone every colour once, exactly as ToneBMPFile does in one go, so the
// colours can be toned as the file arrives.
//
// `window` holds the file's bytes from offset `windowFirst` on; each colour
// toned must lie wholly inside it (ColourStartBefore says where a window
// must begin so that it does). No byte at or past `to` is read or written.
void ToneColoursArrived(std::span<std::uint8_t> window, std::uint64_t windowFirst,
                        const ColourPlan& plan, std::uint64_t from, std::uint64_t to);

// The same with the whole file as the window.
inline void ToneColoursArrived(std::span<std::uint8_t> file, const ColourPlan& plan,
                               std::uint64_t from, std::uint64_t to) {
    ToneColoursArrived(file, 0, plan, from, to);
}

// Where the colour that a cut at `offset` splits in two (a table entry or a
// pixel that begins before `offset` and ends after it) begins; `offset`
// itself when the cut splits none.
std::uint64_t ColourStartBefore(const ColourPlan& plan, std::uint64_t offset);

// The offset just past the last byte of any colour `plan` names (0 when it
// names none): everything from there on is copied unchanged.
std::uint64_t ColoursEnd(const ColourPlan& plan);

}  // namespace sorvane
