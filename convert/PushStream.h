// A BMP pushed in chunks of any size by its caller (a C program, JavaScript),
// toned as it arrives: the one push stream of the library.
//
// Each push copies the bytes straight into the caller's output and tones
// them there, through the same StreamToner step as files. The stream itself
// holds only what it cannot hand out yet: the head until it has been planned
// (kPlanHeadBytes) and a colour cut in two by the end of a chunk (3 bytes at
// most), so its memory is fixed (sizeof(PushStream), no allocation).
//
// The size of a pushed input is known only once it has ended. The head is
// planned as soon as it is in, as if the input never ended, and planned
// again with its real size at the finish: a larger size only passes more of
// the checks, so the colours named are the same, and the finish refuses an
// input that its headers describe as longer than it was (Truncated). A head
// refused at any size (NotValid) is final at once; "Unsupported" holds once
// the input has reached a size for which it is the answer, and until then
// the input is taken and dropped. Not part of the public interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "convert/BMPColourPlan.h"
#include "convert/ConvertStream.h"

namespace sorvane {

class PushStream {
  public:
    enum class Status {
        Ok,
        NotValid,     // "Not a valid BMP file"
        Unsupported,  // "Unsupported BMP file"
        Truncated,    // the input ended before the image its headers describe
        Finished,     // pushed or finished after the finish
    };

    // The most bytes a push gives out beyond the bytes pushed, and the most
    // the finish gives out.
    static constexpr std::size_t kSlack = kPlanHeadBytes + 4;

    // Takes `n` bytes at `in` and writes the bytes that are final to `out`
    // (room for n + kSlack bytes), `written` of them. `out` may overlap `in`
    // in any way: every byte of `in` is read before `out` is written. Bytes
    // of `out` past `written` may have been written too and mean nothing.
    Status Push(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t& written);

    // The input has ended: the last bytes (at most kSlack) to `out`.
    Status Finish(std::uint8_t* out, std::size_t& written);

    // Ready for a new input.
    void Reset() { *this = PushStream(); }

  private:
    Status Refuse(Status s);
    // Hands out the held bytes followed by `n` bytes of `in`.
    std::size_t Hand(const std::uint8_t* held, std::size_t heldSize, const std::uint8_t* in,
                     std::size_t n, std::uint8_t* out);

    std::uint64_t seen_ = 0;  // bytes pushed so far
    std::uint8_t head_[kPlanHeadBytes] = {};
    std::size_t headHave_ = 0;
    std::uint8_t cut_[4] = {};  // a colour cut in two by the last push
    std::size_t cutHave_ = 0;
    std::optional<StreamToner> toner_;  // once the head has been planned
    bool draining_ = false;             // Unsupported at some larger size
    bool finished_ = false;
    Status refusal_ = Status::Ok;
};

}  // namespace sorvane
