#include "convert/ConvertStream.h"

#include <algorithm>
#include <cstring>

#include "convert/BMPColourPlan.h"

namespace sorvane {

namespace {

// Reads until `n` bytes are in or the input ends: false on a read error.
bool ReadUpTo(ByteSource& in, std::uint8_t* to, std::size_t n, std::size_t& got) {
    got = 0;
    while (got < n) {
        const long long r = in.Read(to + got, n - got);
        if (r < 0) return false;
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

StreamStatus FromLayout(LayoutStatus status) {
    switch (status) {
        case LayoutStatus::Converted:
            return StreamStatus::Converted;
        case LayoutStatus::Unsupported:
            return StreamStatus::Unsupported;
        case LayoutStatus::NotValid:
            break;
    }
    return StreamStatus::NotValid;
}

// The loop after the head: `buffer` holds the input's first `have` bytes.
// Past the last colour the rest of the input goes through the sink's own
// copy when it offers one.
StreamStatus Stream(ByteSource& in, std::uint64_t size, std::span<std::uint8_t> buffer,
                    std::size_t have, const ColourPlan& plan, ByteSink& out) {
    StreamToner toner(plan, size);
    for (;;) {
        const std::uint64_t arrived = toner.Position() + have;
        const std::size_t ready = toner.Arrived(buffer.first(have));
        if (ready > 0 && !out.Write(buffer.first(ready))) return StreamStatus::WriteFailed;
        std::memmove(buffer.data(), buffer.data() + ready, have - ready);
        have -= ready;
        if (toner.Done()) break;

        if (have == 0 && toner.PastColours()) {
            const PassThrough copied = out.CopyFrom(in, size - toner.Position());
            if (copied == PassThrough::Done) break;
            if (copied == PassThrough::ReadFailed) return StreamStatus::ReadFailed;
            if (copied == PassThrough::WriteFailed) return StreamStatus::WriteFailed;
        }
        const std::uint64_t wanted = std::min<std::uint64_t>(buffer.size() - have, size - arrived);
        const long long r = in.Read(buffer.data() + have, static_cast<std::size_t>(wanted));
        // Ending before `size` means the input shrank while it was read.
        if (r <= 0) return StreamStatus::ReadFailed;
        have += static_cast<std::size_t>(r);
    }
    return in.Unchanged() ? StreamStatus::Converted : StreamStatus::ReadFailed;
}

}  // namespace

// Each round tones the colours that have arrived in full, and makes final
// everything up to the first colour still cut in two by the end of what has
// arrived.
std::size_t StreamToner::Arrived(std::span<std::uint8_t> window) {
    const std::uint64_t arrived = pos_ + window.size();
    ToneColoursArrived(window, pos_, plan_, toned_, arrived);
    toned_ = arrived;
    const std::uint64_t cut = arrived == size_ ? arrived : ColourStartBefore(plan_, arrived);
    const auto ready = static_cast<std::size_t>(cut - pos_);
    pos_ = cut;
    return ready;
}

StreamStatus PlanStream(std::span<const std::uint8_t> head, std::uint64_t size, ColourPlan& plan) {
    if (head.size() < std::min<std::uint64_t>(size, kPlanHeadBytes)) {
        // Shorter than its size said: changed since it was measured, unless
        // it is not a BMP file at all.
        if (head.size() < 2 || head[0] != 'B' || head[1] != 'M') return StreamStatus::NotValid;
        return StreamStatus::ReadFailed;
    }
    return FromLayout(PlanColours(head, size, plan));
}

std::string_view StreamStatusLine(StreamStatus status) {
    switch (status) {
        case StreamStatus::Converted:
            return "";
        case StreamStatus::NotValid:
            return "Not a valid BMP file";
        case StreamStatus::Unsupported:
            return "Unsupported BMP file";
        case StreamStatus::ReadFailed:
            return "Error reading input file";
        case StreamStatus::OpenOutputFailed:
            return "Error opening output file";
        case StreamStatus::WriteFailed:
            return "Error writing output file";
    }
    return "Error reading input file";
}

StreamStatus ConvertStream(ByteSource& in, std::uint64_t size, std::span<std::uint8_t> buffer,
                           const std::function<ByteSink*()>& openOutput) noexcept {
    if (buffer.size() < kMinStreamBuffer) return StreamStatus::ReadFailed;

    // The head: everything the checks need, and the whole file if shorter.
    const auto headSize = static_cast<std::size_t>(std::min<std::uint64_t>(size, kPlanHeadBytes));
    std::size_t have = 0;
    if (!ReadUpTo(in, buffer.data(), headSize, have)) return StreamStatus::ReadFailed;
    ColourPlan plan;
    if (const StreamStatus s = PlanStream(buffer.first(have), size, plan);
        s != StreamStatus::Converted)
        return s;

    ByteSink* out = nullptr;
#if defined(__cpp_exceptions)
    try {
        out = openOutput();
    } catch (...) {
        out = nullptr;
    }
#else
    out = openOutput();  // a build without exceptions: nothing can be thrown
#endif
    if (out == nullptr) return StreamStatus::OpenOutputFailed;
    return Stream(in, size, buffer, have, plan, *out);
}

}  // namespace sorvane
