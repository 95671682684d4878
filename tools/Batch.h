// Which file goes where, and converting many files at once.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/CommandLine.h"

namespace bmpvintage {

struct Job {
    std::filesystem::path input;
    std::filesystem::path output;
    std::string_view refusal;  // why the job is not run; empty when it is
};

// Refusals decided by the program before any conversion.
inline constexpr std::string_view kOverwritesInput =
    "Output would overwrite an input file (use --in-place to replace inputs)";
inline constexpr std::string_view kSameOutput = "Same output file as an earlier input";

// The file an argument names. Arguments are UTF-8 on Windows (the program
// receives them as UTF-16 and converts them) and bytes elsewhere.
std::filesystem::path PathFromArgument(const std::string& argument);

// One job per input: OUTPUT, DIR/<input's file name>, or the input itself.
std::vector<Job> PlanJobs(const CommandLine& commandLine);

// Names a file however it is spelled: by device and inode (on Windows,
// volume and file index) when it exists, so that hard and symbolic links
// match; otherwise by its canonical path.
std::string FileIdentity(const std::filesystem::path& path);

// Refuses a job whose output is an existing input file (unless `inPlace`),
// and a job whose output is the output of an earlier job.
void RefuseClashes(std::span<Job> jobs, bool inPlace);

// Converts one job's input to its output; the library's line on failure,
// empty on success.
std::string_view RunJob(const Job& job);

// Runs every job that is not refused, `threads` at a time, each by `run`.
// Calls `finished(index, line)` once per job (refused ones included, with
// their refusal), from the thread that ran it, one call at a time.
void RunJobs(std::span<const Job> jobs, unsigned threads,
             const std::function<std::string_view(const Job&)>& run,
             const std::function<void(std::size_t, std::string_view)>& finished);

// The number of threads for `jobs` files when --jobs asked for `requested`
// (0: one per core).
unsigned ThreadCount(unsigned requested, std::size_t jobs);

}  // namespace bmpvintage
