// Every call of the core library (bmpv.h) from C++, on one BMP file:
//
//   bmpv_example_cpp IN.bmp
//
// tones IN.bmp from memory, in place, through a stream in odd-sized chunks,
// through callbacks on std::FILE (into cpp-io.bmp) and from file to a UTF-8
// name (cpp-sépia.bmp, both in the working folder), tones pixels of a made-up RGBA
// picture, checks every result, and prints the message of a refused file.
// Exit status 0 when all went as expected.
#include <bmpv.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// A failed call as an exception with the library's message; the library
// itself throws nothing.
void Check(bmpv_status status, const std::string& what) {
    if (status != BMPV_OK) {
        throw std::runtime_error(what + ": " + bmpv_strerror(status) + " (" +
                                 bmpv_status_name(status) + ")");
    }
}

// Paths are UTF-8, as bmpv_tone_file() takes them (u8path: on Windows too).
Bytes ReadFile(const std::string& path) {
    std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
    if (!file) throw std::runtime_error("cannot open " + path);
    return Bytes{std::istreambuf_iterator<char>(file), {}};
}

// A stream owned by a unique_ptr: freed however the function is left.
struct StreamFree {
    void operator()(bmpv_stream* stream) const { bmpv_stream_free(stream); }
};
using Stream = std::unique_ptr<bmpv_stream, StreamFree>;

Bytes ToneStream(const Bytes& in, std::size_t chunk) {
    bmpv_stream* raw = nullptr;
    Check(bmpv_stream_new(&raw), "stream");
    Stream stream(raw);
    Bytes out, piece(chunk + BMPV_STREAM_SLACK);
    std::size_t n = 0;
    for (std::size_t at = 0; at < in.size(); at += chunk) {
        const std::size_t len = std::min(chunk, in.size() - at);
        Check(bmpv_stream_push(stream.get(), in.data() + at, len, piece.data(), piece.size(), &n),
              "stream push");
        out.insert(out.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(n));
    }
    Check(bmpv_stream_finish(stream.get(), piece.data(), piece.size(), &n), "stream finish");
    out.insert(out.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(n));
    return out;
}

// Callbacks on std::FILE: what sockets or archive members would do alike.
using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

void ToneThroughCallbacks(const std::string& in_path, const std::string& out_path) {
    File in(std::fopen(in_path.c_str(), "rb"), &std::fclose);
    File out(std::fopen(out_path.c_str(), "wb"), &std::fclose);
    if (!in || !out) throw std::runtime_error("cannot open " + in_path + " or " + out_path);
    auto read = [](void* user, void* buf, std::size_t cap) -> std::ptrdiff_t {
        auto* f = static_cast<std::FILE*>(user);
        const std::size_t n = std::fread(buf, 1, cap, f);
        return n == 0 && std::ferror(f) ? -1 : static_cast<std::ptrdiff_t>(n);
    };
    auto write = [](void* user, const void* buf, std::size_t len) -> int {
        return std::fwrite(buf, 1, len, static_cast<std::FILE*>(user)) != len;
    };
    Check(bmpv_tone_io(read, in.get(), write, out.get()), "callbacks");
    if (std::fclose(out.release()) != 0) Check(BMPV_E_WRITE, out_path);
}

// Pixels: two rows of RGBA, top-down and packed (stride 0).
void TonePixels() {
    unsigned char rgba[2][2 * 4] = {{255, 255, 255, 7, 0, 0, 0, 8},
                                    {10, 20, 30, 9, 200, 100, 50, 10}};
    Check(bmpv_tone_pixels(rgba, 2, 2, 0, BMPV_RGBA), "pixels");
    // White becomes (229, 229, 214), black stays black, alpha is kept.
    const unsigned char white[4] = {229, 229, 214, 7};
    if (!std::equal(white, white + 4, rgba[0]) || rgba[0][4] || rgba[0][7] != 8 ||
        rgba[1][3] != 9 || rgba[1][7] != 10) {
        throw std::runtime_error("pixels: unexpected colours");
    }
}

void Run(const std::string& path) {
    std::cout << "libbmpvintage " << bmpv_version_string() << '\n';
    const Bytes image = ReadFile(path);

    // Memory, in place: the buffer is both input and output.
    Bytes toned = image;
    Check(bmpv_tone_buffer(toned.data(), toned.data(), toned.size()), "in place");

    for (std::size_t chunk : {1, 7, 65536}) {
        if (ToneStream(image, chunk) != toned) throw std::runtime_error("stream: other bytes");
    }
    ToneThroughCallbacks(path, "cpp-io.bmp");
    if (ReadFile("cpp-io.bmp") != toned) throw std::runtime_error("callbacks: other bytes");

    // A UTF-8 name, on every platform; an existing output is replaced.
    int sys_error = 0;
    Check(bmpv_tone_file(path.c_str(), "cpp-sépia.bmp", 0, &sys_error), "file");
    if (ReadFile("cpp-sépia.bmp") != toned) throw std::runtime_error("file: other bytes");
    TonePixels();
    std::cout << path << ": toned every way, the same bytes\n";

    // A refused file: BMPV_NO_CLOBBER and an output that exists.
    const bmpv_status status = bmpv_tone_file(path.c_str(), "cpp-sépia.bmp", BMPV_NO_CLOBBER, nullptr);
    std::cout << "cpp-sépia.bmp: " << bmpv_strerror(status) << " (" << bmpv_status_name(status)
              << ")\n";
    if (status != BMPV_E_EXISTS) throw std::runtime_error("the existing output was not kept");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: bmpv_example_cpp IN.bmp\n";
        return 2;
    }
    try {
        Run(argv[1]);
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
    return 0;
}
