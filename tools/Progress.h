// What the program writes on standard error while it converts files: a line
// per failure and, on a terminal, one progress line kept up to date.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace bmpvintage {

// "bmpvintage: FILE: line" and a line feed.
std::string FailureMessage(std::string_view file, std::string_view line);

// "3 of 10 files done".
std::string ProgressText(std::size_t done, std::size_t total);

// The text to write as files finish. Pure: it only builds strings, so that
// every update can go out in one write. On a terminal the progress line is
// redrawn in place (carriage return), and a failure message is printed on a
// line of its own above it; elsewhere only failure messages are written.
struct Progress {
    bool terminal = false;
    std::size_t total = 0;
    std::size_t done = 0;
    std::size_t shown = 0;  // length of the progress line on screen

    // Before the first file.
    std::string Start();
    // A file finished: `failure` is its FailureMessage, or empty.
    std::string Finished(std::string_view failure);
    // After the last file: ends the progress line.
    std::string End();
};

}  // namespace bmpvintage
