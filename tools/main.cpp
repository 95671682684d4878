// bmpvintage: gives BMP images a vintage tone from the command line.
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>

#include <cerrno>
#endif

#include "convert/Platform.h"
#include "tools/Batch.h"
#include "tools/CommandLine.h"
#include "tools/Progress.h"
#include "tools/Signals.h"
#include "tools/Streams.h"

namespace {

using namespace bmpvintage;

// One write, so that lines from different threads never mix.
void WriteToStderr(std::string_view text) {
    if (text.empty()) return;
#ifdef _WIN32
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
#else
    while (!text.empty()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
#endif
}

bool IsTerminal(std::FILE* stream) {
#ifdef _WIN32
    return _isatty(_fileno(stream)) != 0;
#else
    return ::isatty(::fileno(stream)) != 0;
#endif
}

int Convert(const CommandLine& commandLine) {
    if (UsesStandardStreams(commandLine)) {
        if (commandLine.output == kStandardStream && IsTerminal(stdout)) {
            WriteToStderr("bmpvintage: " + std::string(kOutputIsTerminal) + "\n");
            return 2;
        }
        return ConvertStandardStreams(commandLine, WriteToStderr, &FilesInFlight());
    }
    if (commandLine.mode == Mode::OutputDir) {
        // Made as the file layer makes folders: never through a link it
        // would refuse to follow.
        const int error =
            sorvane::MakeOutputFolders(PathFromArgument(commandLine.outputDir).native());
        if (error != 0) {
            WriteToStderr(FailureMessage(commandLine.outputDir, "Cannot create output directory",
                                         sorvane::SystemErrorText(error)));
            return 1;
        }
    }
    Expansion found = ExpandFolders(PlanJobs(commandLine), commandLine);
    std::vector<Job>& jobs = found.jobs;
    RefuseClashes(jobs, commandLine.mode == Mode::InPlace);

    Progress progress;
    progress.terminal = commandLine.mode != Mode::Pair && IsTerminal(stderr);
    progress.total = jobs.size();
    progress.links = found.links.size();

    // Links passed over are said first; they change no exit status.
    for (const std::string& link : found.links) {
        WriteToStderr(FailureMessage(link, kLinkNotFollowed));
    }
    WriteToStderr(progress.Start());
    RunJobs(
        jobs, ThreadCount(commandLine.jobs, jobs.size()),
        [](const Job& job) { return RunJob(job, &FilesInFlight()); },
        [&](std::size_t index, const sorvane::FileConversion& outcome) {
            std::string failure;
            if (!outcome.line.empty()) {
                const Job& job = jobs[index];
                // The file the failure is about, and the system's reason.
                const bool output = IsOutputFailure(outcome.line) && !job.output.empty();
                failure = FailureMessage(
                    output ? ArgumentFromPath(job.output) : job.name, outcome.line,
                    outcome.systemError != 0 ? sorvane::SystemErrorText(outcome.systemError) : "");
            }
            WriteToStderr(progress.Finished(failure));
        });
    WriteToStderr(progress.End());
    return progress.failed != 0 ? 1 : 0;
}

int Run(std::span<const std::string_view> args) {
    const CommandLine commandLine = ParseCommandLine(args);
    switch (commandLine.action) {
        case Action::Help:
            std::fwrite(HelpText().data(), 1, HelpText().size(), stdout);
            return 0;
        case Action::Version:
            std::fputs("bmpvintage " BMPVINTAGE_VERSION "\n", stdout);
            return 0;
        case Action::Usage:
            WriteToStderr("bmpvintage: " + commandLine.error +
                          "\nTry 'bmpvintage --help' for more information.\n");
            return 2;
        case Action::Convert:
            break;
    }
    try {
        return Convert(commandLine);
    } catch (const std::exception&) {
        WriteToStderr("bmpvintage: Not enough memory\n");
        return 1;
    }
}

}  // namespace

#ifdef _WIN32
// The arguments as Windows has them, UTF-16, whatever the code page; the
// command line is read as UTF-8.
int wmain(int argc, wchar_t** argv) {
    RemoveTemporaryFilesOnSignals();
    std::vector<std::string> utf8;
    for (int i = 1; i < argc; ++i) {
        const int n = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string arg(n > 0 ? static_cast<std::size_t>(n) : 1, '\0');
        if (n > 0) WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, arg.data(), n, nullptr, nullptr);
        arg.pop_back();  // the terminating null
        utf8.push_back(std::move(arg));
    }
    const std::vector<std::string_view> args(utf8.begin(), utf8.end());
    return Run(args);
}
#else
int main(int argc, char** argv) {
    // Before anything is opened.
    OpenMissingStandardDescriptors();
    RemoveTemporaryFilesOnSignals();
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    return Run(args);
}
#endif
