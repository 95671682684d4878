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
#include <memory>
#include <new>

#include "convert/ConvertStream.h"
#include "convert/PushStream.h"
#include "tone/VintageTone.h"
#include "tone/VintageToneFast.h"

#define SORVANE_EXPORT(name) extern "C" __attribute__((export_name(name), used))

namespace sorvane {

namespace {

// The part a stream moves at a time; the caller writes at most this much
// per push.
constexpr std::size_t kWebPart = std::size_t{64} << 10;

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

// A BMP arriving in parts pushed by the caller, through the library's one
// push stream (convert/PushStream.h). The caller writes each part at Room(),
// past a gap of PushStream::kSlack bytes, and the final bytes come back at
// Output(), the buffer's start: the stream's output may overlap its input.
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

    std::uint8_t* Room() { return buffer_.get() + PushStream::kSlack; }
    std::size_t Space() const { return kWebPart - PushStream::kSlack; }
    const std::uint8_t* Output() const { return buffer_.get(); }

    // `n` bytes (at most Space()) were written at Room(): how many bytes at
    // Output() are final (0 or more), or minus the status of a refusal.
    int Push(std::size_t n) {
        std::size_t written = 0;
        return Result(stream_.Push(Room(), n, buffer_.get(), written), written);
    }

    // The input has ended: the last final bytes, or minus a refusal.
    int End() {
        std::size_t written = 0;
        return Result(stream_.Finish(buffer_.get(), written), written);
    }

  private:
    // A stream cut short is "Not a valid BMP file" here, as a file of its
    // size is.
    static int Result(PushStream::Status s, std::size_t written) {
        switch (s) {
            case PushStream::Status::Ok:
                return static_cast<int>(written);
            case PushStream::Status::Unsupported:
                return -Code(StreamStatus::Unsupported);
            default:
                return -Code(StreamStatus::NotValid);
        }
    }

    explicit WebStream(PartBuffer buffer) : buffer_(std::move(buffer)) {}

    PartBuffer buffer_;
    PushStream stream_;
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
    sorvane::ToneSpacedPixels(rgba, n / 4, 4, 2, 1, 0);
}

SORVANE_EXPORT("sorvane_tone_form") const char* sorvane_tone_form() {
    return sorvane::tonefast::ToneVariantName(sorvane::tonefast::BestToneVariant()).data();
}
