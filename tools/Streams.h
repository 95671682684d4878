// Standard input and output for the two-file form: "bmpvintage - -",
// "bmpvintage in.bmp -" and "bmpvintage - out.bmp".
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "convert/ConvertStream.h"
#include "convert/Platform.h"
#include "tools/CommandLine.h"

namespace bmpvintage {

// Whether the two-file form names standard input or output.
bool UsesStandardStreams(const CommandLine& commandLine);

// Refused before anything is read: image data is never written to a
// terminal.
inline constexpr std::string_view kOutputIsTerminal =
    "standard output is a terminal; image data is not written to one (redirect it to a file "
    "or a pipe)";

// Refused before anything is read or written: standard output appended to
// or opened on the input file would grow or overwrite it while it is read.
inline constexpr std::string_view kOutputIsInput = "Standard output is the input file";

// Its mirror: standard input read from the output file (a regular file the
// output's name leads to, as the file layer follows it) would be replaced
// by its own toned copy without --in-place.
inline constexpr std::string_view kInputIsOutput = "Standard input is the output file";

// A descriptor read from its current position. `regular` files are checked
// afterwards for changes (size and modification time) made while they were
// read.
class DescriptorSource final : public sorvane::ByteSource {
  public:
    explicit DescriptorSource(int fd);
    long long Read(std::uint8_t* to, std::size_t n) override;
    bool Unchanged() override;

  private:
    int fd_;
    bool regular_ = false;
    long long size_ = 0, modified_ = 0;
};

// Every byte written to a descriptor, in as many writes as it takes.
// `error()` is the system's error code of a write that failed.
class DescriptorSink final : public sorvane::ByteSink {
  public:
    explicit DescriptorSink(int fd) : fd_(fd) {}
    bool Write(std::span<const std::uint8_t> bytes) override;
    int error() const { return error_; }

  private:
    int fd_;
    int error_ = 0;
};

// Whether `fd` is a regular file that is the same file as `input` (the
// descriptor `inputFd` when it is not -1, else the file at `input`).
bool IsSameRegularFile(int fd, int inputFd, const std::string& input);

// The bytes left to read from `fd` when it is a regular file; no value for
// a pipe, terminal or device, whose size is unknown until it ends.
std::optional<std::uint64_t> RemainingSize(int fd);

// Standard input from a pipe, copied to an unlinked temporary file (in
// TMPDIR, or the system's temporary folder) so that it has a size and the
// memory used does not grow with it. The file goes when the spool does.
class Spool {
  public:
    Spool() = default;
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;
    ~Spool();

    enum class Status { Ok, ReadFailed, NoTemporaryFile };
    // Copies everything `from` still holds, and rewinds to the start.
    Status Fill(int from);
    int fd() const { return fd_; }
    std::uint64_t size() const { return size_; }
    // The system's error code behind a failed Fill(), 0 if none.
    int error() const { return error_; }

  private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
    int error_ = 0;
};

// Converts INPUT to OUTPUT where either is "-", `watch` told of a temporary
// output file. Writes failure lines through `report`, naming the file each
// is about ("-" for a standard stream) with the system's reason, and
// returns the exit status (0 or 1). Standard output that is the input file
// is refused with kOutputIsInput, standard input that is the output file
// with kInputIsOutput, each before anything is read or written. The caller has refused a terminal
// as standard output.
int ConvertStandardStreams(const CommandLine& commandLine, void (*report)(std::string_view text),
                           sorvane::TemporaryFileWatch* watch);

}  // namespace bmpvintage
