// The core library's stream and callback entries, over the one push stream
// (convert/PushStream.h) that the WebAssembly module uses too.
#include <memory>
#include <new>

#include "convert/ConvertStream.h"
#include "module/CoreStatus.h"

struct bmpv_stream {
    sorvane::PushStream push;
};

using sorvane::FromPush;
using sorvane::Overlap;
using sorvane::PushStream;

static_assert(PushStream::kSlack <= BMPV_STREAM_SLACK);

extern "C" {

BMPV_API bmpv_status bmpv_stream_new(bmpv_stream** stream) {
    if (stream == nullptr) return BMPV_E_INVALID_ARG;
    *stream = new (std::nothrow) bmpv_stream;
    return *stream != nullptr ? BMPV_OK : BMPV_E_NO_MEMORY;
}

BMPV_API bmpv_status bmpv_stream_push(bmpv_stream* stream, const void* in, std::size_t in_len,
                                      void* out, std::size_t out_cap, std::size_t* out_len) {
    if (stream == nullptr || out == nullptr || out_len == nullptr ||
        (in == nullptr && in_len > 0) || in_len > out_cap || out_cap - in_len < BMPV_STREAM_SLACK ||
        Overlap(in, in_len, out, out_cap))
        return BMPV_E_INVALID_ARG;
    return FromPush(stream->push.Push(static_cast<const std::uint8_t*>(in), in_len,
                                      static_cast<std::uint8_t*>(out), *out_len));
}

BMPV_API bmpv_status bmpv_stream_finish(bmpv_stream* stream, void* out, std::size_t out_cap,
                                        std::size_t* out_len) {
    if (stream == nullptr || out == nullptr || out_len == nullptr || out_cap < BMPV_STREAM_SLACK)
        return BMPV_E_INVALID_ARG;
    return FromPush(stream->push.Finish(static_cast<std::uint8_t*>(out), *out_len));
}

BMPV_API void bmpv_stream_reset(bmpv_stream* stream) {
    if (stream != nullptr) stream->push.Reset();
}

BMPV_API void bmpv_stream_free(bmpv_stream* stream) {
    delete stream;
}

BMPV_API bmpv_status bmpv_tone_io(bmpv_read_fn read, void* read_user, bmpv_write_fn write,
                                  void* write_user) {
    if (read == nullptr || write == nullptr) return BMPV_E_INVALID_ARG;
    // One buffer: each part is read past the slack at its start, and the
    // stream writes the final bytes from its start (it may overlap).
    constexpr std::size_t kSize = sorvane::kStreamPart;
    constexpr std::size_t kRoom = kSize - PushStream::kSlack;
    const std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kSize]);
    if (!buffer) return BMPV_E_NO_MEMORY;
    std::uint8_t* const part = buffer.get() + PushStream::kSlack;
    PushStream stream;
    for (;;) {
        const std::ptrdiff_t r = read(read_user, part, kRoom);
        if (r < 0 || static_cast<std::size_t>(r) > kRoom) return BMPV_E_READ;
        std::size_t ready = 0;
        const PushStream::Status s =
            r == 0 ? stream.Finish(buffer.get(), ready)
                   : stream.Push(part, static_cast<std::size_t>(r), buffer.get(), ready);
        if (s != PushStream::Status::Ok) return FromPush(s);
        if (ready > 0 && write(write_user, buffer.get(), ready) != 0) return BMPV_E_WRITE;
        if (r == 0) return BMPV_OK;
    }
}

}  // extern "C"
