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

#include "convert/BMPColourPlan.h"

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

// Plans the conversion of an input of `size` bytes from its head: its first
// min(size, kPlanHeadBytes) bytes, or fewer when the input ended before them
// (NotValid if those few bytes are not even a BMP signature, ReadFailed if
// they are). Converted means `plan` names the colours.
StreamStatus PlanStream(std::span<const std::uint8_t> head, std::uint64_t size, ColourPlan& plan);

// The step every stream conversion repeats, whoever moves the bytes: a
// window holds the input from Position() on, as far as it has arrived.
// Arrived tones the colours that are whole in it and says how many of its
// first bytes are final: all of them once the input's last byte is in,
// otherwise those before the first colour still cut in two. The caller
// passes those on and keeps the rest (3 bytes at most) at the front of the
// window, where the next bytes of the input follow them.
class StreamToner {
  public:
    StreamToner(const ColourPlan& plan, std::uint64_t size)
        : plan_(plan), size_(size), coloursEnd_(ColoursEnd(plan)) {}

    std::size_t Arrived(std::span<std::uint8_t> window);

    // The input offset of the window's first byte.
    std::uint64_t Position() const { return pos_; }
    // Every byte of the input has been passed on.
    bool Done() const { return pos_ == size_; }
    // No colour lies at or past Position(): the rest is copied as it is.
    bool PastColours() const { return pos_ >= coloursEnd_; }
    // For an input whose size was not known when it began: its size, once it
    // has ended (at or past Position() plus the window still held).
    void SetSize(std::uint64_t size) { size_ = size; }

  private:
    ColourPlan plan_;
    std::uint64_t size_;
    std::uint64_t coloursEnd_;
    std::uint64_t pos_ = 0;    // the input offset of the window's first byte
    std::uint64_t toned_ = 0;  // colours ending before this offset are toned
};

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
