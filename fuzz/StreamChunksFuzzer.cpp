// libFuzzer target, differential: one input pushed to the core's stream in
// chunks that the input itself chooses (a hash of its bytes), against
// bmpv_tone_buffer on the whole. Same status (a stream cut short may say so
// where the memory call says "not valid"), the same bytes on success,
// nothing given out before a refusal the headers decide, and no allocation.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "convert/PushStream.h"
#include "module/bmpv.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "stream differs from the memory call: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> whole(size + 1);
    const int expected = bmpv_tone_buffer(data, whole.data(), size);

    std::uint64_t h = 14695981039346656037u;
    for (std::size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 1099511628211u;
    const std::uint64_t largest = std::uint64_t{1} << (h % 14);

    bmpv_stream* s = nullptr;
    if (bmpv_stream_new(&s) != BMPV_OK) Fail("no stream");
    std::vector<std::uint8_t> given, out;
    int status = BMPV_OK;
    for (std::size_t at = 0, n = 0; at < size && status == BMPV_OK; at += n) {
        h = h * 6364136223846793005u + 1442695040888963407u;
        n = static_cast<std::size_t>(std::min<std::uint64_t>(size - at, 1 + (h >> 33) % largest));
        // An exact-size copy of the chunk, so that ASan sees any overread.
        const std::vector<std::uint8_t> chunk(data + at, data + at + n);
        out.assign(n + BMPV_STREAM_SLACK, 0);
        std::size_t got = 0;
        status = bmpv_stream_push(s, chunk.data(), n, out.data(), out.size(), &got);
        if (got > n + sorvane::PushStream::kSlack) Fail("gave out more than it may");
        given.insert(given.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(got));
    }
    out.assign(BMPV_STREAM_SLACK, 0);
    std::size_t got = 0;
    if (status == BMPV_OK) status = bmpv_stream_finish(s, out.data(), out.size(), &got);
    given.insert(given.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(got));
    bmpv_stream_free(s);

    if (status != expected && !(status == BMPV_E_TRUNCATED && expected == BMPV_E_NOT_VALID))
        Fail("another status");
    if (status == BMPV_OK && (given.size() != size || std::memcmp(given.data(), whole.data(), size)))
        Fail("other bytes");
    return 0;
}
