// A C++ program using the installed library: tones a 4 x 2 image (a white
// row and a black row) and checks the bytes, then checks a failure. Vintage
// is the README's example, word for word (the consumer test compares them).
#include <BMPVintage.h>

#include <filesystem>

// Paths are UTF-16: char16_t, or wchar_t on Windows, where path::c_str() is.
bool Vintage(const std::filesystem::path& in, const std::filesystem::path& out) {
#ifdef _WIN32
    return BMPVintage(in.c_str(), out.c_str()) == 0;
#else
    return BMPVintage(in.u16string().c_str(), out.u16string().c_str()) == 0;
#endif
}

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

namespace {

std::vector<std::uint8_t> Image() {
    std::vector<std::uint8_t> b = {
        // clang-format off
        'B', 'M', 78, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,  // file header
        40, 0, 0, 0, 4, 0, 0, 0, 2, 0, 0, 0,             // size, width 4, height 2
        1, 0, 24, 0, 0, 0, 0, 0, 24, 0, 0, 0,            // planes, 24 bits, BI_RGB
        0x13, 0x0B, 0, 0, 0x13, 0x0B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    // clang-format on
    b.insert(b.end(), 12, 255);  // bottom row: white
    b.insert(b.end(), 12, 0);    // top row: black
    return b;
}

bool Fail(const char* why) {
    std::cerr << "C++ consumer: " << why << '\n';
    return false;
}

bool Run() {
    const std::vector<std::uint8_t> in = Image();
    std::ofstream("consumer-cpp-in.bmp", std::ios::binary)
        .write(reinterpret_cast<const char*>(in.data()), static_cast<std::streamsize>(in.size()));

    if (!Vintage("consumer-cpp-in.bmp", "consumer-cpp-out.bmp")) return Fail("BMPVintage failed");

    std::ifstream file("consumer-cpp-out.bmp", std::ios::binary);
    const std::vector<std::uint8_t> out{std::istreambuf_iterator<char>(file), {}};
    if (out.size() != in.size() || !std::equal(in.begin(), in.begin() + 54, out.begin())) {
        return Fail("output has the wrong size or headers");
    }
    constexpr std::array<std::uint8_t, 3> white{214, 229, 229};  // blue, green, red
    for (std::size_t i = 0; i < 4; ++i) {
        if (!std::equal(white.begin(), white.end(), out.begin() + 54 + 3 * i) || out[66 + 3 * i] ||
            out[67 + 3 * i] || out[68 + 3 * i]) {
            return Fail("wrong toned pixels");
        }
    }
    if (Vintage("consumer-cpp-missing.bmp", "consumer-cpp-never.bmp") ||
        std::filesystem::exists("consumer-cpp-never.bmp")) {
        return Fail("a missing input did not fail cleanly");
    }
    return true;
}

}  // namespace

int main() {
    if (!Run()) return 1;
    std::cout << "C++ consumer: ok\n";
    return 0;
}
