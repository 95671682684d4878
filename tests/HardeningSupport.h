// Helpers for the tests that attack the real file path: temporary
// directories, whole-file reads and writes, and running a conversion in a
// child process (under resource limits, with its standard error captured and
// a deadline so that a hang fails instead of stalling the suite). POSIX only.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "BMPVintage.h"
#include "TestFiles.h"
#include "tone/VintageTone.h"

namespace hardening {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

using testfiles::ReadAll;
using testfiles::WriteAll;

// Test paths are ASCII (mkdtemp under the temporary directory).
inline std::u16string U16(const fs::path& p) {
    const std::string s = p.string();
    return std::u16string(s.begin(), s.end());
}

// `b` with every whole pixel from `from` on toned by the reference: the
// expected output for an unpadded 24-bit file whose pixels start at `from`.
inline Bytes Toned(Bytes b, std::size_t from = 54) {
    for (std::size_t i = from; i + 3 <= b.size(); i += 3) sorvane::ToneOnePixel(&b[i]);
    return b;
}

// A fresh directory, removed with everything in it at the end.
class TempDir {
  public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "sorvane-hard-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }
    fs::path operator/(const char* name) const { return path_ / name; }

    // The names in the directory, sorted: shows leftover temporary files.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(path_)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

  private:
    fs::path path_;
};

struct ChildOutcome {
    int exitCode = -1;  // -1: killed by a signal or by the deadline
    bool timedOut = false;
    std::string stderrText;
};

// Runs `body` in a forked child with standard error captured through a pipe
// (a file would fall under the child's own RLIMIT_FSIZE); the child's exit
// code is what `body` returns. A child still running after `seconds` is
// killed and reported as timed out.
inline ChildOutcome RunInChild(const std::function<int()>& body, int seconds = 30) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return {};
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], 2);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        ::_exit(body());
    }
    ::close(pipeFds[1]);
    ::fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
    ChildOutcome o;
    const auto drain = [&] {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(pipeFds[0], buf, sizeof buf)) > 0)
            o.stderrText.append(buf, static_cast<std::size_t>(n));
    };
    int status = 0;
    const timespec pause{0, 5'000'000};
    for (int waited = 0;; ++waited) {
        drain();
        if (::waitpid(pid, &status, WNOHANG) == pid) break;
        if (waited >= seconds * 200) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            o.timedOut = true;
            break;
        }
        ::nanosleep(&pause, nullptr);
    }
    drain();
    ::close(pipeFds[0]);
    if (!o.timedOut && WIFEXITED(status)) o.exitCode = WEXITSTATUS(status);
    return o;
}

// The calling process's address space in bytes (/proc/self/statm, in pages).
inline std::size_t AddressSpaceInUse() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    statm >> pages;
    return pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// For a child: from now on its address space may grow by `bytes` at most
// (RLIMIT_AS), so any larger allocation fails.
inline void CapGrowth(std::size_t bytes) {
    const rlim_t cap = AddressSpaceInUse() + bytes;
    const rlimit rl{cap, cap};
    ::setrlimit(RLIMIT_AS, &rl);
}

// BMPVintage in a child; `limits` runs in the child first (set rlimits...).
inline ChildOutcome ConvertInChild(const fs::path& in, const fs::path& out,
                                   const std::function<void()>& limits = {}) {
    const std::u16string a = U16(in), b = U16(out);
    return RunInChild([&] {
        if (limits) limits();
        return BMPVintage(a.c_str(), b.c_str()) == 0 ? 0 : 1;
    });
}

}  // namespace hardening
