// Every colour through every form of the tone this processor can run,
// compared with the double arithmetic written out plainly. Needs no test
// framework, so that it runs anywhere the library builds (under Wine too).
// Exit status 0 when every byte matches, 1 otherwise.
//
// The plain arithmetic's bytes for all colours are also held as a hash
// (kPlainToneHash), which a run without arguments checks. Under an emulator,
// where the plain arithmetic is slow, ctest passes --against-hash: the
// reference's bytes are taken when their hash is that one, and the plain
// arithmetic is worked out only to name what differs.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "PlainTone.h"
#include "tone/VintageTone.h"
#include "tone/VintageToneFast.h"

namespace {

using sorvane::tonefast::ToneVariant;

using plaintone::PlainTone;

struct Tally {
    std::size_t passed = 0, failed = 0;
    void Check(bool ok, const std::string& what) {
        if (ok) {
            ++passed;
        } else {
            ++failed;
            std::printf("FAILED: %s\n", what.c_str());
        }
    }
};

// FNV-1a, 64-bit, of the bytes of PlainTone over all colours in order.
constexpr std::uint64_t kPlainToneHash = 0x045fb8c2770e3e7e;

std::uint64_t Fnv1a(const std::vector<std::uint8_t>& bytes) {
    std::uint64_t h = 0xcbf29ce484222325;
    for (const std::uint8_t b : bytes) h = (h ^ b) * 0x100000001b3;
    return h;
}

// Counts the differing pixels of two equally long runs and names the first.
std::size_t CountDifferences(const std::vector<std::uint8_t>& got,
                             const std::vector<std::uint8_t>& want, std::string& first) {
    std::size_t bad = 0;
    for (std::size_t i = 0; i + 3 <= got.size(); i += 3)
        if (std::memcmp(&got[i], &want[i], 3) != 0 && bad++ == 0) {
            char line[160];
            std::snprintf(line, sizeof line, "pixel %zu: got (%d,%d,%d), want (%d,%d,%d)", i / 3,
                          got[i], got[i + 1], got[i + 2], want[i], want[i + 1], want[i + 2]);
            first = line;
        }
    return bad;
}

}  // namespace

namespace {

int CheckEveryColour(bool againstHash) {
    constexpr std::size_t kColours = std::size_t{1} << 24;
    std::vector<std::uint8_t> all(kColours * 3), want;
    for (std::size_t c = 0; c < kColours; ++c) {
        all[3 * c + 0] = static_cast<std::uint8_t>(c);        // blue
        all[3 * c + 1] = static_cast<std::uint8_t>(c >> 8);   // green
        all[3 * c + 2] = static_cast<std::uint8_t>(c >> 16);  // red
    }

    Tally tally;
    std::string first;

    // The reference itself, pixel by pixel.
    {
        std::vector<std::uint8_t> got = all;
        sorvane::ApplyVintageTone(got.data(), 4096, 4096);
        if (againstHash && Fnv1a(got) == kPlainToneHash) {
            want = std::move(got);  // the plain arithmetic's bytes, by their hash
            tally.Check(true, "");
        } else {
            want.resize(all.size());
            for (std::size_t c = 0; c < kColours; ++c) PlainTone(&all[3 * c], &want[3 * c]);
            tally.Check(Fnv1a(want) == kPlainToneHash,
                        "PlainTone: not the bytes kPlainToneHash holds");
            const std::size_t bad = CountDifferences(got, want, first);
            tally.Check(bad == 0,
                        "ApplyVintageTone: " + std::to_string(bad) + " colours differ; " + first);
        }
    }

    std::vector<ToneVariant> variants;
    for (const ToneVariant v : sorvane::tonefast::kAllToneVariants) {
        const std::string name(sorvane::tonefast::ToneVariantName(v));
        if (!sorvane::tonefast::ToneVariantAvailable(v)) {
            std::printf("skipped %s: not available on this processor or build\n", name.c_str());
            continue;
        }
        // All colours in one run.
        std::vector<std::uint8_t> got = all;
        sorvane::tonefast::ToneRunWith(v, got);
        std::size_t bad = CountDifferences(got, want, first);
        tally.Check(bad == 0,
                    name + ", one run: " + std::to_string(bad) + " colours differ; " + first);

        // Again from an odd address, starting one pixel in and stopping short
        // of a whole step, with bytes either side that must stay as they were.
        std::vector<std::uint8_t> shifted(all.size() + 2, 0x5A);
        std::memcpy(shifted.data() + 1, all.data(), all.size());
        const std::size_t from = 1 + 3, pixels = kColours - 1 - 7;
        sorvane::tonefast::ToneRunWith(v, std::span(shifted.data() + from, pixels * 3 + 2));
        got.assign(shifted.begin() + 1, shifted.end() - 1);
        std::vector<std::uint8_t> expect = want;
        std::memcpy(expect.data(), all.data(), 3);  // the pixel before the run
        std::memcpy(expect.data() + 3 * (1 + pixels), all.data() + 3 * (1 + pixels),
                    3 * 7);  // the pixels after it
        bad = CountDifferences(got, expect, first);
        const bool edges = shifted.front() == 0x5A && shifted.back() == 0x5A;
        tally.Check(bad == 0 && edges,
                    name + ", offset run: " + std::to_string(bad) + " pixels differ" +
                        (edges ? "" : ", edge bytes changed") + (bad ? "; " + first : ""));
        std::printf("checked %s\n", name.c_str());
        variants.push_back(v);
    }

    // What ToneRun picks, on this processor.
    {
        std::vector<std::uint8_t> got = all;
        sorvane::ToneRun(got);
        const std::size_t bad = CountDifferences(got, want, first);
        tally.Check(bad == 0, "ToneRun: " + std::to_string(bad) + " colours differ; " + first);
        std::printf(
            "ToneRun uses %s\n",
            std::string(sorvane::tonefast::ToneVariantName(sorvane::tonefast::BestToneVariant()))
                .c_str());
    }

    std::printf("%zu passed, %zu failed (%zu colours, %zu forms)\n", tally.passed, tally.failed,
                kColours, variants.size());
    return tally.failed == 0 ? 0 : 1;
}

}  // namespace

#if defined(__wasi__)
// Node's WASI, as web/test starts this, has no arguments to give: asking
// for them ends the program before main.
int main() {
    return CheckEveryColour(false);
}
#else
int main(int argc, char** argv) {
    const bool againstHash = argc == 2 && std::strcmp(argv[1], "--against-hash") == 0;
    if (argc > 1 && !againstHash) {
        std::fprintf(stderr, "usage: tone_exhaustive [--against-hash]\n");
        return 2;
    }
    return CheckEveryColour(againstHash);
}
#endif
