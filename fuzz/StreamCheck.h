// The streaming conversion (ConvertStream) driven over a file in memory, and
// what it must give: the same bytes as ToneBMPFile over the whole file, a
// refusal before any output is opened, and a failure wherever the input or
// output fails. Shared by the fuzzer and by the test that replays its seeds
// and findings.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "convert/BMPLayout.h"
#include "convert/ConvertStream.h"
#include "fuzz/BMPInvariants.h"
#include "tests/MemoryStream.h"

namespace sorvane::fuzzcheck {

// How one streamed run reads, writes and fails. Drawn from the file's own
// bytes 6 to 9 (bfReserved1 and bfReserved2), which no reader of the format
// uses: the fuzzer steers the stream by mutating them, and every BMP file
// (seeds, findings) is an input as it stands.
struct StreamRun {
    enum class Fault { None, ReadFails, InputChanges, WriteFails, NoOutput };

    std::size_t buffer = kMinStreamBuffer;
    std::size_t parts[2] = {};  // the most each read returns, in turn (0: no limit)
    Fault fault = Fault::None;
    std::uint64_t faultAt = 0;  // the offset a failing read or write reaches

    // Byte 6: the buffer, from kMinStreamBuffer up in steps of 8, or (top
    // bit set) room for the whole file. Bytes 7, 8: the read sizes. Byte 9:
    // the top 3 bits pick the fault (none for 0 to 3), the low 5 its place,
    // in 32nds of the file.
    explicit StreamRun(std::span<const std::uint8_t> file) {
        if (file.size() < 10) return;
        buffer = (file[6] & 0x80) != 0 ? file.size() + kMinStreamBuffer
                                       : kMinStreamBuffer + std::size_t{file[6]} * 8;
        parts[0] = file[7];
        parts[1] = file[8];
        if (file[9] >= 0x80) fault = static_cast<Fault>((file[9] >> 5) - 3);
        faultAt = (file[9] & 0x1F) * file.size() / 32;
    }
};

inline std::string StatusName(StreamStatus s) {
    return s == StreamStatus::Converted ? "Converted" : std::string(StreamStatusLine(s));
}

// Streams `input` as its bytes 6 to 9 say and checks the result against
// `whole`, what ToneBMPFile made of the same bytes (with `wholeStatus`).
// `watchHeap(true)` and `watchHeap(false)` are called just around
// ConvertStream, for the caller to measure its heap use. Returns "" when
// every promise holds, otherwise what was broken.
inline std::string CheckStreamedConversion(std::span<const std::uint8_t> input,
                                           LayoutStatus wholeStatus,
                                           std::span<const std::uint8_t> whole,
                                           const std::function<void(bool)>& watchHeap = {}) {
    using Fault = StreamRun::Fault;
    const StreamRun run(input);
    memstream::MemorySource source(input, [&run](std::size_t i) {
        const std::size_t part = run.parts[i % 2];
        return part == 0 ? std::numeric_limits<std::size_t>::max() : part;
    });
    memstream::MemorySink sink;
    sink.bytes.reserve(input.size());  // so that writing allocates nothing
    if (run.fault == Fault::ReadFails) source.failAt = static_cast<long long>(run.faultAt);
    if (run.fault == Fault::WriteFails) sink.failAt = static_cast<long long>(run.faultAt);
    source.changed = run.fault == Fault::InputChanges;
    bool opened = false;
    const std::function<ByteSink*()> openOutput = [&]() -> ByteSink* {
        opened = true;
        return run.fault == Fault::NoOutput ? nullptr : &sink;
    };
    std::vector<std::uint8_t> buffer(run.buffer);

    if (watchHeap) watchHeap(true);
    const StreamStatus status = ConvertStream(source, input.size(), buffer, openOutput);
    if (watchHeap) watchHeap(false);

    // The status due: ToneBMPFile's refusal, else the fault's failure, else
    // Converted. A read failing in the headers may come before a refusal.
    const StreamStatus failed[] = {StreamStatus::Converted, StreamStatus::ReadFailed,
                                   StreamStatus::ReadFailed, StreamStatus::WriteFailed,
                                   StreamStatus::OpenOutputFailed};
    const StreamStatus due = wholeStatus == LayoutStatus::NotValid ? StreamStatus::NotValid
                             : wholeStatus == LayoutStatus::Unsupported
                                 ? StreamStatus::Unsupported
                                 : failed[static_cast<int>(run.fault)];
    if (status != due && !(run.fault == Fault::ReadFails && status == StreamStatus::ReadFailed))
        return "streamed " + StatusName(status) + " where " + StatusName(due) + " was due";
    if ((status == StreamStatus::NotValid || status == StreamStatus::Unsupported) && opened)
        return "streamed a refusal after opening the output";
    if (wholeStatus != LayoutStatus::Converted) return "";
    // Whatever was written, even before a failure, is the start of the output.
    if (sink.bytes.size() > whole.size() ||
        !std::equal(sink.bytes.begin(), sink.bytes.end(), whole.begin()))
        return "streamed bytes ToneBMPFile does not give";
    if (status != StreamStatus::Converted) return "";
    if (sink.bytes.size() != whole.size()) return "streamed a conversion cut short";
    return CheckToneInvariants(input, sink.bytes, LayoutStatus::Converted);
}

}  // namespace sorvane::fuzzcheck
