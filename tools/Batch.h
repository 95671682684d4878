// Which file goes where, and converting many files at once.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "convert/ConvertFile.h"
#include "tools/CommandLine.h"

namespace bmpvintage {

struct Job {
    std::filesystem::path input;
    std::filesystem::path output;
    std::string_view refusal;  // why the job is not run; empty when it is
    std::string name;          // the input as the user wrote it, for messages
    bool makeFolder = false;   // create the output's folder first (a mirrored tree)
    bool inPlace = false;      // the output must be the input file itself
    // A file found in a tree: the folder named on the command line and the
    // path inside it, opened beneath it without following a link.
    std::filesystem::path root, inside;
    // For a file found in a tree and mirrored under DIR (POSIX): the mode
    // each folder of `inside` is made with, from the top.
    std::vector<unsigned> folderModes;
};

// Refusals decided by the program before any conversion.
inline constexpr std::string_view kOverwritesInput =
    "Output would overwrite an input file (use --in-place to replace inputs)";
inline constexpr std::string_view kSameOutput = "Same output file as an earlier input";
inline constexpr std::string_view kIsAFolder =
    "Is a folder (use --recursive with --output-dir or --in-place to convert the files in it)";
inline constexpr std::string_view kFolderUnreadable = "Error opening folder";
// Said of a symbolic link met inside a tree; it is no failure.
inline constexpr std::string_view kLinkNotFollowed = "Symbolic link not followed";

// The file an argument names. Arguments are UTF-8 on Windows (the program
// receives them as UTF-16 and converts them) and bytes elsewhere.
std::filesystem::path PathFromArgument(const std::string& argument);

// The argument that names `path` (the inverse of PathFromArgument).
std::string ArgumentFromPath(const std::filesystem::path& path);

// One job per input: OUTPUT, DIR/<input's file name>, or the input itself.
std::vector<Job> PlanJobs(const CommandLine& commandLine);

// Whether a file found in a folder is converted: its name ends in .bmp or
// .dib, in any case.
bool IsImageName(const std::filesystem::path& path);

struct Expansion {
    std::vector<Job> jobs;
    // The symbolic links met inside the trees that were passed over, named
    // as jobs are.
    std::vector<std::string> links;
};

// Deals with the jobs whose input is a folder (a symbolic link named on the
// command line is followed). Without --recursive each is refused with
// kIsAFolder. With it, each is replaced by one job per image file found in
// the folder and its subfolders, in name order: written in place, or to
// DIR/<path inside the folder>. A symbolic link inside is not followed:
// one that leads to a folder, or whose name is an image's (dangling or
// not), is listed in `links`; others are left alone as other files are.
// DIR itself is not walked. A folder that cannot be read becomes a job
// refused with kFolderUnreadable.
Expansion ExpandFolders(std::vector<Job> jobs, const CommandLine& commandLine);

// Names a file however it is spelled: by device and inode (on Windows,
// volume and file index) when it exists, so that hard and symbolic links
// match; otherwise by its canonical path.
std::string FileIdentity(const std::filesystem::path& path);

// Names the file open on `fd` as FileIdentity names a path; empty if it
// cannot be told.
std::string DescriptorIdentity(int fd);

// Refuses a job whose output is an existing input file (unless `inPlace`),
// and a job whose output is the output of an earlier job. Outputs are
// compared as the file layer will write them: through their symbolic links,
// a dangling one included.
void RefuseClashes(std::span<Job> jobs, bool inPlace);

// Whether a conversion's line is about its output file rather than its
// input: messages name the file a failure is about.
bool IsOutputFailure(std::string_view line);

// Converts one job's input to its output, `watch` told of the temporary
// file; the library's line (empty on success) and the system's error code.
// A file found in a tree is opened beneath its root, through no symbolic
// link; the mirrored folders are made as the file layer makes them, and a
// folder that cannot be made is the output's failure, with its reason.
sorvane::FileConversion RunJob(const Job& job, sorvane::TemporaryFileWatch* watch);

// Runs every job that is not refused, `threads` at a time, each by `run`.
// Calls `finished(index, outcome)` once per job (refused ones included, with
// their refusal as the line), from the thread that ran it, one call at a
// time.
void RunJobs(std::span<const Job> jobs, unsigned threads,
             const std::function<sorvane::FileConversion(const Job&)>& run,
             const std::function<void(std::size_t, const sorvane::FileConversion&)>& finished);

// The number of threads for `jobs` files when --jobs asked for `requested`
// (0: one per core).
unsigned ThreadCount(unsigned requested, std::size_t jobs);

}  // namespace bmpvintage
