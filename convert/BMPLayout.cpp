#include "convert/BMPLayout.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <optional>

#include "convert/BMPColourPlan.h"
#include "tone/VintageTone.h"

namespace sorvane {

namespace {

// Pixels are toned through a small buffer of blue, green, red triplets, so the
// tone always runs on whole runs whatever way the file packs its colours.
constexpr std::size_t kBatchPixels = 256;

// Tones a table of 4-byte entries (blue, green, red, reserved), keeping the
// reserved bytes.
void ToneQuadTable(std::span<std::uint8_t> entries) {
    std::uint8_t bgr[kBatchPixels * 3];
    const std::size_t count = entries.size() / 4;
    for (std::size_t done = 0; done < count; done += kBatchPixels) {
        const std::size_t n = count - done < kBatchPixels ? count - done : kBatchPixels;
        std::uint8_t* const quad = entries.data() + done * 4;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t k = 0; k < 3; ++k) bgr[i * 3 + k] = quad[i * 4 + k];
        ToneRun(std::span<std::uint8_t>(bgr, n * 3));
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t k = 0; k < 3; ++k) quad[i * 4 + k] = bgr[i * 3 + k];
    }
}

// `window` holds the file from offset `base` on.
void ToneTable(std::span<std::uint8_t> window, std::uint64_t base, const ColourTable& table) {
    if (table.count == 0) return;
    const auto bytes = window.subspan(table.first - base, table.count * table.entrySize);
    if (table.entrySize == 3) {
        ToneRun(bytes);
    } else {
        ToneQuadTable(bytes);
    }
}

// One colour channel of a packed pixel: `bits` bits from bit `shift` on.
// A channel of n bits is widened to 8 bits as round(v x 255 / (2^n - 1)),
// toned, and narrowed back as round(t x (2^n - 1) / 255), in exact integers.
// (2^n - 1 and 255 are odd, so no quotient ever ends in exactly one half.)
// For n = 8 both steps are the identity: the byte is toned as it stands.
// Both steps are looked up in tables of 256 entries made once per file (the
// widening one only for channels of up to 8 bits; wider ones are computed).
class Channel {
  public:
    explicit Channel(std::uint32_t m)
        : mask_(m), shift_(std::countr_zero(m)), top_((std::uint64_t{1} << std::popcount(m)) - 1) {
        for (std::uint32_t t = 0; t < 256; ++t) {
            narrow_[t] = static_cast<std::uint32_t>((t * top_ * 2 + 255) / (255 * 2)) << shift_;
            if (t <= top_) widen_[t] = WidenValue(t);
        }
    }

    std::uint8_t Widen(std::uint32_t pixel) const {
        const std::uint64_t v = (pixel & mask_) >> shift_;
        return top_ <= 255 ? widen_[v] : WidenValue(v);
    }
    // The toned 8-bit value t, narrowed and put in place within the pixel.
    std::uint32_t Narrow(std::uint8_t t) const { return narrow_[t]; }

  private:
    std::uint8_t WidenValue(std::uint64_t v) const {
        return static_cast<std::uint8_t>((v * 255 * 2 + top_) / (top_ * 2));
    }

    std::uint32_t mask_;
    int shift_;
    std::uint64_t top_;  // 2^n - 1
    std::array<std::uint8_t, 256> widen_{};
    std::array<std::uint32_t, 256> narrow_{};
};

std::uint32_t ReadPixel(const std::uint8_t* p, std::size_t bytes) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < bytes; ++i) v |= static_cast<std::uint32_t>(p[i]) << (8 * i);
    return v;
}

void WritePixel(std::uint8_t* p, std::size_t bytes, std::uint32_t v) {
    for (std::size_t i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint64_t PixelBytes(PixelCoding coding) {
    return coding == PixelCoding::Bgr24 ? 3 : coding == PixelCoding::Packed16 ? 2 : 4;
}

// Tones a row of packed 16- or 32-bit pixels; bits outside the three colour
// masks are kept.
struct PackedChannels {
    Channel red, green, blue;
    std::uint32_t keep;  // bits outside the three colour masks
};

void TonePackedRow(std::uint8_t* row, std::size_t pixels, std::size_t bytes,
                   const PackedChannels& c) {
    const Channel& red = c.red;
    const Channel& green = c.green;
    const Channel& blue = c.blue;
    const std::uint32_t keep = c.keep;
    std::uint8_t bgr[kBatchPixels * 3];
    for (std::size_t done = 0; done < pixels; done += kBatchPixels) {
        const std::size_t n = pixels - done < kBatchPixels ? pixels - done : kBatchPixels;
        std::uint8_t* const first = row + done * bytes;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t v = ReadPixel(first + i * bytes, bytes);
            bgr[i * 3] = blue.Widen(v);
            bgr[i * 3 + 1] = green.Widen(v);
            bgr[i * 3 + 2] = red.Widen(v);
        }
        ToneRun(std::span<std::uint8_t>(bgr, n * 3));
        for (std::size_t i = 0; i < n; ++i) {
            std::uint8_t* const p = first + i * bytes;
            const std::uint32_t v = (ReadPixel(p, bytes) & keep) | blue.Narrow(bgr[i * 3]) |
                                    green.Narrow(bgr[i * 3 + 1]) | red.Narrow(bgr[i * 3 + 2]);
            WritePixel(p, bytes, v);
        }
    }
}

// Of `count` items of `size` bytes, the first at `first`, how many end at or
// before offset `at`.
std::uint64_t ItemsEndedBy(std::uint64_t first, std::uint64_t size, std::uint64_t count,
                           std::uint64_t at) {
    if (at <= first) return 0;
    return std::min(count, (at - first) / size);
}

void ToneTableArrived(std::span<std::uint8_t> window, std::uint64_t base, const ColourTable& table,
                      std::uint64_t from, std::uint64_t to) {
    const std::uint64_t begin = ItemsEndedBy(table.first, table.entrySize, table.count, from);
    const std::uint64_t end = ItemsEndedBy(table.first, table.entrySize, table.count, to);
    if (begin >= end) return;
    ToneTable(window, base,
              ColourTable{table.first + begin * table.entrySize, end - begin, table.entrySize});
}

void TonePixelsArrived(std::span<std::uint8_t> window, std::uint64_t base, PixelRows rows,
                       std::uint64_t from, std::uint64_t to) {
    if (rows.coding == PixelCoding::None || rows.rows == 0 || rows.rowPixels == 0) return;
    const std::uint64_t pixelBytes = PixelBytes(rows.coding);
    if (rows.stride == rows.rowPixels * pixelBytes) {
        // No padding: the rows form one run of pixels.
        rows.rowPixels *= rows.rows;
        rows.stride *= rows.rows;
        rows.rows = 1;
    }
    const std::uint64_t rowBytes = rows.rowPixels * pixelBytes;
    // Rows that end after `from` and start before `to`.
    const std::uint64_t firstRow =
        from >= rows.first + rowBytes ? (from - rows.first - rowBytes) / rows.stride + 1 : 0;
    const std::uint64_t endRow =
        to > rows.first ? std::min(rows.rows, (to - rows.first - 1) / rows.stride + 1) : 0;
    if (firstRow >= endRow) return;

    std::optional<PackedChannels> channels;
    if (rows.coding != PixelCoding::Bgr24) {
        const ChannelMasks& m = rows.masks;
        channels.emplace(PackedChannels{Channel(m.red), Channel(m.green), Channel(m.blue),
                                        ~(m.red | m.green | m.blue)});
    }
    for (std::uint64_t r = firstRow; r < endRow; ++r) {
        const std::uint64_t start = rows.first + r * rows.stride;
        const std::uint64_t begin = ItemsEndedBy(start, pixelBytes, rows.rowPixels, from);
        const std::uint64_t end = ItemsEndedBy(start, pixelBytes, rows.rowPixels, to);
        if (begin >= end) continue;
        const auto run =
            window.subspan(start + begin * pixelBytes - base, (end - begin) * pixelBytes);
        if (channels) {
            TonePackedRow(run.data(), end - begin, pixelBytes, *channels);
        } else {
            ToneRun(run);
        }
    }
}

}  // namespace

std::string_view LayoutStatusLine(LayoutStatus status) {
    switch (status) {
        case LayoutStatus::Converted:
            return "";
        case LayoutStatus::NotValid:
            return "Not a valid BMP file";
        case LayoutStatus::Unsupported:
            return "Unsupported BMP file";
    }
    return "Not a valid BMP file";
}

LayoutStatus ToneBMPFile(std::span<std::uint8_t> file) {
    // Everything is checked before the first byte changes.
    ColourPlan plan;
    const LayoutStatus status = PlanColours(file, plan);
    if (status != LayoutStatus::Converted) return status;
    ToneColoursArrived(file, plan, 0, file.size());
    return LayoutStatus::Converted;
}

void ToneColoursArrived(std::span<std::uint8_t> window, std::uint64_t windowFirst,
                        const ColourPlan& plan, std::uint64_t from, std::uint64_t to) {
    ToneTableArrived(window, windowFirst, plan.table, from, to);
    TonePixelsArrived(window, windowFirst, plan.pixels, from, to);
}

std::uint64_t ColourStartBefore(const ColourPlan& plan, std::uint64_t offset) {
    const ColourTable& t = plan.table;
    if (offset > t.first && offset - t.first < t.count * t.entrySize)
        return offset - (offset - t.first) % t.entrySize;
    const PixelRows& p = plan.pixels;
    if (p.coding == PixelCoding::None || p.rows == 0 || p.rowPixels == 0 || offset <= p.first)
        return offset;
    const std::uint64_t row = (offset - p.first) / p.stride;
    const std::uint64_t inRow = (offset - p.first) % p.stride;
    if (row >= p.rows || inRow >= p.rowPixels * PixelBytes(p.coding)) return offset;
    return offset - inRow % PixelBytes(p.coding);
}

std::uint64_t ColoursEnd(const ColourPlan& plan) {
    const ColourTable& t = plan.table;
    std::uint64_t end = t.count > 0 ? t.first + t.count * t.entrySize : 0;
    const PixelRows& p = plan.pixels;
    if (p.coding != PixelCoding::None && p.rows > 0 && p.rowPixels > 0)
        end = std::max(end, p.first + (p.rows - 1) * p.stride + p.rowPixels * PixelBytes(p.coding));
    return end;
}

}  // namespace sorvane
