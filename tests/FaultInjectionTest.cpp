// Faults injected through the real file path: inputs that are not files,
// writes that fail midway, allocations that fail, inputs that shrink while
// being read, and read errors after the open. POSIX (Linux) only.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "BmpBuilder.h"
#include "HardeningSupport.h"

namespace {

using namespace hardening;

// An input that is not a regular file is refused at the open, without
// waiting: opening a FIFO that has no writer would otherwise block forever.
TEST(FaultInjection, NonRegularInputsAreRefusedWithoutBlocking) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "fifo.bmp").c_str(), 0600), 0);
    fs::create_directory(dir / "dir.bmp");
    for (const fs::path& in : {dir / "fifo.bmp", dir / "dir.bmp", fs::path("/dev/zero")}) {
        SCOPED_TRACE(in.string());
        const ChildOutcome o = ConvertInChild(in, dir / "out.bmp");
        EXPECT_FALSE(o.timedOut) << "the conversion blocked";
        EXPECT_EQ(o.exitCode, 1);
        EXPECT_EQ(o.stderrText, "Error opening input file\n");
        EXPECT_FALSE(fs::exists(dir / "out.bmp"));
    }
}

}  // namespace
