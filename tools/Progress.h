// What the program writes on standard error while it converts files: a line
// per failure and, on a terminal, one progress line kept up to date.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace bmpvintage {

// A file's name as messages show it: as it is, unless it holds a control
// character, bytes that are not UTF-8, or a character that changes how the
// text around it is shown (the bidirectional controls U+061C, U+200E,
// U+200F, U+202A-U+202E and U+2066-U+2069, the separators U+2028 and
// U+2029). Such a name is quoted the way a shell reads it back, each such
// byte escaped inside $'...': 'a'$'\n''b.bmp', 'x'$'\342\200\256''y'. A
// message then stays one line, shows the name in its true order and sends
// no escape sequence to a terminal.
std::string QuoteName(std::string_view name);

// A word from the command line as usage errors show it: always in quotes,
// escaped as QuoteName escapes ('--bogus', '--'$'\033''[31m').
std::string QuoteWord(std::string_view word);

// "bmpvintage: FILE: line" and a line feed; with a `reason` (the system's),
// "bmpvintage: FILE: line (reason)". FILE is quoted as QuoteName does.
std::string FailureMessage(std::string_view file, std::string_view line,
                           std::string_view reason = {});

// "3 of 10 files done".
std::string ProgressText(std::size_t done, std::size_t total);

// "10 files: 8 converted, 2 failed", and when symbolic links in a tree were
// passed over, ", 1 link not followed" (", 3 links not followed").
std::string SummaryText(std::size_t total, std::size_t failed, std::size_t links = 0);

// The text to write as files finish. Pure: it only builds strings, so that
// every update can go out in one write. On a terminal the progress line is
// redrawn in place (carriage return), and a failure message is printed on a
// line of its own above it, and at the end the progress line gives way to a
// summary; elsewhere only failure messages are written.
struct Progress {
    bool terminal = false;
    std::size_t total = 0;
    std::size_t done = 0;
    std::size_t failed = 0;
    std::size_t links = 0;  // symbolic links not followed, for the summary
    std::size_t shown = 0;  // length of the progress line on screen

    // Before the first file.
    std::string Start();
    // A file finished: `failure` is its FailureMessage, or empty.
    std::string Finished(std::string_view failure);
    // After the last file: the summary in place of the progress line.
    std::string End();
};

}  // namespace bmpvintage
