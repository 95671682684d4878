// bmpvintage: the command-line face of the library.
#include <cstdio>
#include <cstring>
#include <string>

#include "BMPVintage.h"

namespace {

constexpr const char* kUsage =
    "Usage: bmpvintage INPUT OUTPUT\n"
    "Gives the BMP image INPUT a vintage tone and writes it to OUTPUT.\n"
    "INPUT and OUTPUT may be the same file; OUTPUT is replaced only when\n"
    "the whole image has been written.\n"
    "\n"
    "  --help     show this help\n"
    "  --version  show the version\n";

// Command-line arguments are UTF-8; the library takes UTF-16.
std::u16string Widen(const char* s) {
    std::u16string out;
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    while (*p) {
        std::uint32_t cp = *p++;
        int extra = cp >= 0xF0 ? 3 : cp >= 0xE0 ? 2 : cp >= 0xC0 ? 1 : 0;
        if (extra) cp &= 0x3F >> extra;
        for (; extra > 0 && (*p & 0xC0) == 0x80; --extra) cp = cp << 6 | (*p++ & 0x3F);
        if (extra || cp > 0x10FFFF) cp = 0xDC00;  // malformed: cannot name a file
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("bmpvintage %s\n", BMPVINTAGE_VERSION);
        return 0;
    }
    if (argc != 3) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::u16string in = Widen(argv[1]);
    const std::u16string out = Widen(argv[2]);
    return BMPVintage(reinterpret_cast<const BMPVintageChar*>(in.c_str()),
                      reinterpret_cast<const BMPVintageChar*>(out.c_str())) == 0
               ? 0
               : 1;
}
