// The bmpvintage command line: what the words on it ask for.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace bmpvintage {

enum class Action {
    Convert,  // convert the files below
    Help,     // print the help text
    Version,  // print the version
    Usage,    // the command line is wrong; `error` says how
};

enum class Mode {
    Pair,       // INPUT OUTPUT (either may be "-": standard input or output)
    OutputDir,  // --output-dir DIR INPUT...
    InPlace,    // --in-place INPUT...
};

struct CommandLine {
    Action action = Action::Convert;
    Mode mode = Mode::Pair;
    std::vector<std::string> inputs;
    std::string output;      // Mode::Pair
    std::string outputDir;   // Mode::OutputDir
    unsigned jobs = 0;       // 0: one per core
    bool recursive = false;  // folders among the inputs are walked
    std::string error;       // Action::Usage
};

constexpr unsigned kMaxJobs = 1024;

// The argument that names standard input (as INPUT) or standard output (as
// OUTPUT). A file of that name is given as "./-".
inline constexpr std::string_view kStandardStream = "-";

// Reads the arguments after the program name. Options may come before,
// between or after the files; "--" ends the options.
CommandLine ParseCommandLine(std::span<const std::string_view> args);

// A decimal count of jobs from 1 to kMaxJobs; 0 when `text` is anything else.
unsigned ParseJobs(std::string_view text);

// The help text printed by --help.
std::string_view HelpText();

}  // namespace bmpvintage
