// Writes the seed corpus into the directory given, one file per seed.
#include <cstdio>
#include <fstream>
#include <string>

#include "fuzz/SeedFiles.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_bmp_seeds DIRECTORY\n");
        return 2;
    }
    const auto seeds = sorvane::fuzzseed::SeedFiles();
    for (const auto& seed : seeds) {
        std::ofstream f(std::string(argv[1]) + "/" + seed.name + ".bmp", std::ios::binary);
        f.write(reinterpret_cast<const char*>(seed.bytes.data()),
                static_cast<std::streamsize>(seed.bytes.size()));
        if (!f) {
            std::fprintf(stderr, "cannot write seed %s\n", seed.name.c_str());
            return 1;
        }
    }
    std::printf("%zu seeds written\n", seeds.size());
    return 0;
}
