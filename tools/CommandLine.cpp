#include "tools/CommandLine.h"

#include <optional>

#include "tools/Progress.h"

namespace bmpvintage {

namespace {

CommandLine UsageError(std::string message) {
    CommandLine c;
    c.action = Action::Usage;
    c.error = std::move(message);
    return c;
}

// For "--name=value" or "--name value" (and "-jN" or "-j N"): the value, and
// whether it took the next argument. No value when `arg` is not this option.
struct OptionValue {
    std::optional<std::string_view> value;
    bool usedNext = false;
    bool missing = false;
};

OptionValue ValueOf(std::string_view arg, std::string_view name, std::string_view shortName,
                    std::span<const std::string_view> rest) {
    OptionValue v;
    if (arg == name || (!shortName.empty() && arg == shortName)) {
        if (rest.empty()) {
            v.missing = true;
            return v;
        }
        v.value = rest.front();
        v.usedNext = true;
    } else if (arg.starts_with(name) && arg.size() > name.size() && arg[name.size()] == '=') {
        v.value = arg.substr(name.size() + 1);
    } else if (!shortName.empty() && arg.starts_with(shortName) && arg.size() > shortName.size()) {
        v.value = arg.substr(shortName.size());
    }
    return v;
}

}  // namespace

unsigned ParseJobs(std::string_view text) {
    if (text.empty() || text.size() > 5) return 0;
    unsigned n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return 0;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    return n <= kMaxJobs ? n : 0;
}

CommandLine ParseCommandLine(std::span<const std::string_view> args) {
    CommandLine c;
    bool inPlace = false;
    bool haveDir = false;
    bool optionsEnded = false;
    std::vector<std::string> files;

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            files.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            c.action = Action::Help;
            return c;
        } else if (arg == "--version") {
            c.action = Action::Version;
            return c;
        } else if (arg == "--in-place") {
            inPlace = true;
        } else if (arg == "--recursive" || arg == "-r") {
            c.recursive = true;
        } else if (const auto dir = ValueOf(arg, "--output-dir", "", args.subspan(i + 1));
                   dir.value || dir.missing) {
            if (dir.missing || dir.value->empty())
                return UsageError("--output-dir needs a directory");
            c.outputDir = *dir.value;
            haveDir = true;
            i += dir.usedNext;
        } else if (const auto jobs = ValueOf(arg, "--jobs", "-j", args.subspan(i + 1));
                   jobs.value || jobs.missing) {
            c.jobs = jobs.missing ? 0 : ParseJobs(*jobs.value);
            if (c.jobs == 0) {
                return UsageError("--jobs needs a whole number from 1 to " +
                                  std::to_string(kMaxJobs));
            }
            i += jobs.usedNext;
        } else {
            return UsageError("unknown option " + QuoteWord(arg));
        }
    }

    if (inPlace && haveDir) return UsageError("--in-place and --output-dir cannot be combined");
    if (inPlace || haveDir) {
        if (files.empty()) return UsageError("no input files");
        for (const std::string& file : files) {
            if (file == kStandardStream) {
                return UsageError(
                    "'-' (standard input or output) works only as INPUT or OUTPUT of "
                    "the two-file form; give a file named - as ./-");
            }
        }
        c.mode = inPlace ? Mode::InPlace : Mode::OutputDir;
        c.inputs = std::move(files);
        return c;
    }
    if (files.size() != 2) {
        return UsageError(files.size() < 2 ? "expected INPUT and OUTPUT (for a folder: -r with "
                                             "--output-dir DIR or --in-place)"
                                           : "more than two files; use --output-dir DIR or "
                                             "--in-place for many");
    }
    if (c.recursive) return UsageError("--recursive needs --output-dir DIR or --in-place");
    c.mode = Mode::Pair;
    c.inputs.push_back(std::move(files[0]));
    c.output = std::move(files[1]);
    return c;
}

std::string_view HelpText() {
    return "Usage: bmpvintage [OPTIONS] INPUT OUTPUT\n"
           "       bmpvintage [OPTIONS] --output-dir DIR INPUT...\n"
           "       bmpvintage [OPTIONS] --in-place INPUT...\n"
           "\n"
           "Gives BMP images a vintage (sepia) tone. Every byte that is not a colour\n"
           "is kept; an output is replaced only once it has been written whole.\n"
           "\n"
           "INPUT - reads standard input, OUTPUT - writes standard output (never a\n"
           "terminal); a file named - is ./-. Standard input from a pipe is first\n"
           "copied to an unlinked temporary file, so memory stays the same whatever\n"
           "the image's size.\n"
           "\n"
           "Options:\n"
           "  --output-dir DIR  write each INPUT into DIR under its own file name\n"
           "                    (DIR is created if missing)\n"
           "  --in-place        replace each INPUT with its toned version\n"
           "  -r, --recursive   an INPUT may be a folder: every file in it and its\n"
           "                    subfolders whose name ends in .bmp or .dib (any case)\n"
           "                    is converted, others are left alone; with --output-dir\n"
           "                    the folder's tree is mirrored under DIR, each folder\n"
           "                    with its source's permission bits less the umask.\n"
           "                    Symbolic links inside it are not followed; those to\n"
           "                    folders or with an image's name are reported.\n"
           "  -j, --jobs N      convert N files at once (default: one per core)\n"
           "  -h, --help        show this help and exit\n"
           "      --version     show the version and exit\n"
           "\n"
           "An output that is one of the inputs is refused unless --in-place is given,\n"
           "and so is standard output that is the input file (OUTPUT - appended to it\n"
           "or opened on it) and standard input that is the output file.\n"
           "\n"
           "Failures are reported as 'bmpvintage: FILE: reason', with the system's\n"
           "reason in parentheses where there is one; FILE is the output for\n"
           "'Error opening output file' and 'Error writing output file', else the\n"
           "input. A name holding control characters, bytes that are not UTF-8, or\n"
           "bidirectional controls and line separators is quoted as the shell would\n"
           "read it ('a'$'\\n''b.bmp'). The other files are still converted. On a\n"
           "terminal, a progress line shows the files done and ends as a summary\n"
           "('6 files: 4 converted, 2 failed, 1 link not followed').\n"
           "\n"
           "Ended by a signal (SIGINT, SIGTERM, SIGHUP, a real-time one, or any other\n"
           "whose default ends the process, SIGABRT or SIGSEGV sent by kill included),\n"
           "the program removes its temporary files and ends by that signal. A file\n"
           "size limit (ulimit -f) or a reader that goes away makes the write fail\n"
           "with its line.\n"
           "\n"
           "Examples:\n"
           "  bmpvintage photo.bmp photo-vintage.bmp\n"
           "  cat photo.bmp | bmpvintage - - > photo-vintage.bmp\n"
           "  bmpvintage --output-dir vintage *.bmp\n"
           "  bmpvintage -r --output-dir vintage photos/\n"
           "  bmpvintage --in-place --jobs 2 scans/*.bmp\n"
           "\n"
           "Exit status: 0 every file converted, 1 a file was not converted,\n"
           "2 the command line is wrong (or OUTPUT - is a terminal).\n";
}

}  // namespace bmpvintage
