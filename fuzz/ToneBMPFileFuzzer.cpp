// libFuzzer target: arbitrary bytes through ToneBMPFile and through the
// streaming conversion (read and written in parts, failing where the file's
// reserved bytes say: StreamCheck.h), with their promises checked from
// outside (BMPInvariants.h) and their heap use bounded.
#include <sanitizer/allocator_interface.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "convert/BMPLayout.h"
#include "fuzz/BMPInvariants.h"
#include "fuzz/StreamCheck.h"

namespace {

// Heap bytes requested while the function under test runs. libFuzzer runs
// one input at a time on one thread.
bool counting = false;
std::size_t allocated = 0;

void OnMalloc(const volatile void*, std::size_t size) {
    if (counting) allocated += size;
}
void OnFree(const volatile void*) {}

// The layout work allocates nothing today; whatever it may need later must
// stay within the file's own size plus a little.
constexpr std::size_t kAllocationSlack = 64 * 1024;
// The stream works in the caller's buffer and allocates nothing; whatever it
// may need later must not grow with the file.
constexpr std::size_t kStreamAllocationLimit = 1024;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "A promise was broken: %s\n", what.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size copy, so that ASan sees any access past the end.
    std::vector<std::uint8_t> file(data, data + size);

    allocated = 0;
    counting = true;
    const sorvane::LayoutStatus status = sorvane::ToneBMPFile(file);
    counting = false;
    if (allocated > size + kAllocationSlack)
        Fail("allocated " + std::to_string(allocated) + " bytes for a " + std::to_string(size) +
             "-byte file");

    std::string broken = sorvane::fuzzcheck::CheckToneInvariants({data, size}, file, status);
    if (!broken.empty()) Fail(broken);

    // The same bytes give the same answer.
    std::vector<std::uint8_t> again(data, data + size);
    if (sorvane::ToneBMPFile(again) != status || again != file) Fail("not deterministic");

    broken = sorvane::fuzzcheck::CheckStreamedConversion({data, size}, status, file, [](bool on) {
        if (on) allocated = 0;
        counting = on;
    });
    if (!broken.empty()) Fail(broken);
    if (allocated > kStreamAllocationLimit)
        Fail("streaming allocated " + std::to_string(allocated) + " bytes");
    return 0;
}
