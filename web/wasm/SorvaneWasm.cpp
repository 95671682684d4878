// The WebAssembly module's exports: a small C ABI of its own for JavaScript.
// It imports nothing (no WASI, no host functions) and starts no threads;
// every buffer lives in the module's memory, which the caller reaches through
// the exported `memory`.
//
//   sorvane_alloc(n) / sorvane_free(p)   buffers the caller fills and reads
//   sorvane_tone_file(p, n)              a whole BMP in place: its status
//   sorvane_stream_*                     a BMP in parts, in constant memory
//   sorvane_status_line(status)          the line of a status, NUL-terminated
//   sorvane_tone_pixels(p, n)            n / 3 blue, green, red pixels in place
//   sorvane_tone_rgba(p, n)              n / 4 red, green, blue, alpha pixels
//                                        in place (a canvas's ImageData)
//   sorvane_tone_form()                  the name of the tone's form in use
//
// Statuses are StreamStatus values: 0 converted, else a refusal whose line
// sorvane_status_line gives, or kNoMemory when a buffer could not be had.
//
// Every allocation is checked: one that fails gives 0 (a handle, a buffer)
// or kNoMemory (a status), never a buffer at address 0. The module's memory
// is capped below 4 GiB at link time (web/CMakeLists.txt): wasi-libc's
// allocator takes the memory's end as 32-bit pages * 64 KiB, which wraps to
// 0 at exactly 4 GiB and would hand out memory already in use.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>

#include "convert/ConvertStream.h"
#include "tone/VintageTone.h"
#include "tone/VintageToneFast.h"

#define SORVANE_EXPORT(name) extern "C" __attribute__((export_name(name), used))

namespace sorvane {

namespace {

// The part a stream moves at a time; the caller writes at most this much
// per push.
constexpr std::size_t kWebPart = std::size_t{64} << 10;
constexpr std::uint64_t kUnknownSize = std::numeric_limits<std::uint64_t>::max();

// Not a StreamStatus: the module could not have the memory a call needs.
constexpr int kNoMemory = 100;

int Code(StreamStatus s) {
    return static_cast<int>(s);
}

// A buffer of kWebPart bytes from the module's heap, freed when it goes.
struct FreeDeleter {
    void operator()(std::uint8_t* p) const { std::free(p); }
};
using PartBuffer = std::unique_ptr<std::uint8_t, FreeDeleter>;

PartBuffer NewPart() {
    return PartBuffer(static_cast<std::uint8_t*>(std::malloc(kWebPart)));
}

// A whole file in memory as both the source and the sink: every byte is
// read before it is written back to the same place.
class InPlace final : public ByteSource, public ByteSink {
  public:
    explicit InPlace(std::span<std::uint8_t> file) : file_(file) {}
    long long Read(std::uint8_t* to, std::size_t n) override {
        n = std::min(n, file_.size() - read_);
        std::memcpy(to, file_.data() + read_, n);
        read_ += n;
        return static_cast<long long>(n);
    }
    bool Write(std::span<const std::uint8_t> bytes) override {
        std::memcpy(file_.data() + written_, bytes.data(), bytes.size());
        written_ += bytes.size();
        return true;
    }

  private:
    std::span<std::uint8_t> file_;
    std::size_t read_ = 0, written_ = 0;
};

// A BMP arriving in parts pushed by the caller, its size known only once it
// has ended. The head is planned as soon as it is in; then every push tones
// what has arrived and hands back the part that is final, through the same
// StreamToner step as files.
//
// The head is planned as if the input never ended, and planned again with
// its real size at the end: a larger size only passes more of the checks, so
// the colours named are the same, and the end still refuses the input as a
// file of its size is refused. Early refusals follow the same rule: "Not a
// valid BMP file" for a head refused at any size is final at once;
// "Unsupported BMP file" holds once the input has reached a size for which
// it is the answer, and until then the input is read and dropped.
class WebStream {
  public:
    // A new stream, or nullptr when the memory for it could not be had.
    static WebStream* Open() {
        PartBuffer buffer = NewPart();
        if (!buffer) return nullptr;
        void* at = std::malloc(sizeof(WebStream));
        if (at == nullptr) return nullptr;
        return new (at) WebStream(std::move(buffer));
    }
    static void Close(WebStream* s) {
        if (s == nullptr) return;
        s->~WebStream();
        std::free(s);
    }

    // Where the next bytes go, and how many fit, once the bytes handed out
    // by the last push have been dropped.
    std::uint8_t* Room() {
        Drop();
        return data() + have_;
    }
    std::size_t Space() {
        Drop();
        return kWebPart - have_;
    }
    const std::uint8_t* Output() const { return buffer_.get(); }

    // `n` bytes (at most Space()) were written at Room(): how many bytes at
    // Output() are final (0 or more), or minus the status of a refusal.
    int Push(std::size_t n) {
        if (refusal_) return -Code(*refusal_);
        seen_ += n;
        have_ += n;
        if (!toner_ && !draining_) {
            const std::size_t take = std::min(n, kPlanHeadBytes - headHave_);
            std::memcpy(head_ + headHave_, data() + have_ - n, take);
            headHave_ += take;
            if (headHave_ < kPlanHeadBytes) return 0;
            const StreamStatus s = PlanStream({head_, headHave_}, kUnknownSize, plan_);
            if (s == StreamStatus::Converted)
                toner_.emplace(plan_, kUnknownSize);
            else if (s == StreamStatus::Unsupported)
                draining_ = true;
            else
                return Refuse(s);
        }
        if (draining_) {
            have_ = 0;
            const StreamStatus s = PlanStream({head_, headHave_}, seen_, plan_);
            return s == StreamStatus::Unsupported ? Refuse(s) : 0;
        }
        return Hand(toner_->Arrived({data(), have_}));
    }

    // The input has ended: the last final bytes, or minus a refusal.
    int End() {
        if (refusal_) return -Code(*refusal_);
        Drop();
        // The real size, planned again for its refusals (never Converted
        // after a refusal at a larger size).
        ColourPlan plan;
        const StreamStatus s = PlanStream({head_, headHave_}, seen_, plan);
        if (s != StreamStatus::Converted || draining_) return Refuse(s);
        if (!toner_) toner_.emplace(plan, seen_);
        toner_->SetSize(seen_);
        return Hand(toner_->Arrived({data(), have_}));
    }

  private:
    void Drop() {
        std::memmove(data(), data() + given_, have_ - given_);
        have_ -= given_;
        given_ = 0;
    }
    int Hand(std::size_t ready) {
        given_ = ready;
        return static_cast<int>(ready);
    }
    int Refuse(StreamStatus s) {
        refusal_ = s;
        have_ = given_ = 0;
        return -Code(s);
    }

    explicit WebStream(PartBuffer buffer) : buffer_(std::move(buffer)) {}
    std::uint8_t* data() { return buffer_.get(); }

    PartBuffer buffer_;
    std::size_t have_ = 0;   // bytes held at the front of buffer_
    std::size_t given_ = 0;  // of those, the first ones handed out last
    std::uint64_t seen_ = 0;
    std::uint8_t head_[kPlanHeadBytes] = {};
    std::size_t headHave_ = 0;
    ColourPlan plan_;
    std::optional<StreamToner> toner_;
    bool draining_ = false;
    std::optional<StreamStatus> refusal_;
};

}  // namespace

}  // namespace sorvane

using sorvane::StreamStatus;
using sorvane::WebStream;

SORVANE_EXPORT("sorvane_alloc") void* sorvane_alloc(std::size_t n) {
    return std::malloc(n == 0 ? 1 : n);
}

SORVANE_EXPORT("sorvane_free") void sorvane_free(void* p) {
    std::free(p);
}

SORVANE_EXPORT("sorvane_status_line") const char* sorvane_status_line(int status) {
    if (status == sorvane::kNoMemory) return "Not enough memory";
    // Every line is a literal, so its view ends in a NUL.
    return sorvane::StreamStatusLine(static_cast<StreamStatus>(status)).data();
}

SORVANE_EXPORT("sorvane_tone_file") int sorvane_tone_file(std::uint8_t* file, std::size_t size) {
    sorvane::InPlace io({file, size});
    const sorvane::PartBuffer buffer = sorvane::NewPart();
    if (!buffer) return sorvane::kNoMemory;
    return static_cast<int>(sorvane::ConvertStream(io, size, {buffer.get(), sorvane::kWebPart},
                                                   [&]() -> sorvane::ByteSink* { return &io; }));
}

// A new stream, or 0 when the module's memory is exhausted.
SORVANE_EXPORT("sorvane_stream_open") WebStream* sorvane_stream_open() {
    return WebStream::Open();
}

SORVANE_EXPORT("sorvane_stream_room") std::uint8_t* sorvane_stream_room(WebStream* s) {
    return s->Room();
}

SORVANE_EXPORT("sorvane_stream_space") std::size_t sorvane_stream_space(WebStream* s) {
    return s->Space();
}

SORVANE_EXPORT("sorvane_stream_push") int sorvane_stream_push(WebStream* s, std::size_t n) {
    return s->Push(n);
}

SORVANE_EXPORT("sorvane_stream_end") int sorvane_stream_end(WebStream* s) {
    return s->End();
}

SORVANE_EXPORT("sorvane_stream_output") const std::uint8_t* sorvane_stream_output(WebStream* s) {
    return s->Output();
}

SORVANE_EXPORT("sorvane_stream_close") void sorvane_stream_close(WebStream* s) {
    WebStream::Close(s);
}

SORVANE_EXPORT("sorvane_tone_pixels") void sorvane_tone_pixels(std::uint8_t* bgr, std::size_t n) {
    sorvane::ToneRun({bgr, n});
}

// Each run of pixels is gathered as blue, green, red into a block of its
// own, toned by ToneRun (the form a BMP's colours take, so the colours are
// the same) and put back; alpha is not touched.
SORVANE_EXPORT("sorvane_tone_rgba") void sorvane_tone_rgba(std::uint8_t* rgba, std::size_t n) {
    constexpr std::size_t kRun = 1024;
    std::uint8_t bgr[kRun * 3];
    for (std::size_t done = 0, pixels = n / 4; done < pixels;) {
        const std::size_t run = std::min(kRun, pixels - done);
        std::uint8_t* p = rgba + done * 4;
        for (std::size_t i = 0; i < run; ++i) {
            bgr[3 * i] = p[4 * i + 2];
            bgr[3 * i + 1] = p[4 * i + 1];
            bgr[3 * i + 2] = p[4 * i];
        }
        sorvane::ToneRun({bgr, run * 3});
        for (std::size_t i = 0; i < run; ++i) {
            p[4 * i] = bgr[3 * i + 2];
            p[4 * i + 1] = bgr[3 * i + 1];
            p[4 * i + 2] = bgr[3 * i];
        }
        done += run;
    }
}

SORVANE_EXPORT("sorvane_tone_form") const char* sorvane_tone_form() {
    return sorvane::tonefast::ToneVariantName(sorvane::tonefast::BestToneVariant()).data();
}
