// Converting a BMP as a stream: the input is read in parts through one fixed
// buffer, each part's colours are toned as soon as they have arrived, and the
// part is written out straight away, so memory does not grow with the file.
//
// The same loop serves files, standard input and standard output, and the
// tests and the fuzzer drive it over bytes in memory. Not part of the public
// interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

namespace sorvane {

// Where the input's bytes come from.
class ByteSource {
  public:
    // Reads up to `n` (> 0) bytes into `to`: the count read, 0 only at the
    // end of the input, or -1 on an error.
    virtual long long Read(std::uint8_t* to, std::size_t n) = 0;
    // Asked once every byte has been read: false if the input was changed
    // (written to, truncated or extended) while it was being read.
    virtual bool Unchanged() { return true; }

  protected:
    ~ByteSource() = default;
};

enum class PassThrough {
    Done,         // all the bytes were copied
    NotOffered,   // this sink cannot copy from this source; nothing was read
    ReadFailed,   // the source failed or ended early
    WriteFailed,  // the sink failed
};

// Where the output's bytes go.
class ByteSink {
  public:
    // Writes all of `bytes`; false on any failure.
    virtual bool Write(std::span<const std::uint8_t> bytes) = 0;
    // Copies the next `n` bytes of `source` unchanged, without passing them
    // through the caller's buffer (for example with copy_file_range between
    // two files). The default offers nothing.
    virtual PassThrough CopyFrom(ByteSource& source, std::uint64_t n) {
        (void)source;
        (void)n;
        return PassThrough::NotOffered;
    }

  protected:
    ~ByteSink() = default;
};

enum class StreamStatus {
    Converted,
    NotValid,          // "Not a valid BMP file"
    Unsupported,       // "Unsupported BMP file"
    ReadFailed,        // "Error reading input file": a read error, or the
                       // input ended early or changed while it was read
    OpenOutputFailed,  // "Error opening output file"
    WriteFailed,       // "Error writing output file"
};

// The line printed on standard error for a status ("" for Converted).
std::string_view StreamStatusLine(StreamStatus status);

// The buffer ConvertStream needs at the least (room for the headers it plans
// from and for a colour cut in two by a read).
inline constexpr std::size_t kMinStreamBuffer = 128;

// The buffer a conversion from a file uses: large enough that the calls per
// part cost nothing, small enough to stay in the processor's cache.
inline constexpr std::size_t kStreamPart = std::size_t{1} << 20;

// Converts an input of `size` bytes read from `in`, through `buffer` (at
// least kMinStreamBuffer bytes; any larger size works the same).
//
// The head of the input is read and checked first: every refusal the headers
// and `size` decide (NotValid, Unsupported) and every read failure in the
// head comes before `openOutput` is called, so a refused input opens no
// output. `openOutput` then gives the sink (null: OpenOutputFailed), and the
// rest of the input is read, toned and written part by part; the pixel data
// of an indexed image is copied through ByteSink::CopyFrom where the sink
// offers it. After the last part `in.Unchanged()` must hold.
//
// On any status but Converted the sink may hold part of the output; the
// caller discards it. Throws nothing.
StreamStatus ConvertStream(ByteSource& in, std::uint64_t size, std::span<std::uint8_t> buffer,
                           const std::function<ByteSink*()>& openOutput) noexcept;

}  // namespace sorvane
