#include "tools/Progress.h"

namespace bmpvintage {

std::string FailureMessage(std::string_view file, std::string_view line) {
    std::string text = "bmpvintage: ";
    text += file;
    text += ": ";
    text += line;
    text += '\n';
    return text;
}

std::string ProgressText(std::size_t done, std::size_t total) {
    return std::to_string(done) + " of " + std::to_string(total) + " files done";
}

std::string Progress::Start() {
    if (!terminal) return {};
    const std::string line = ProgressText(done, total);
    shown = line.size();
    return "\r" + line;
}

std::string Progress::Finished(std::string_view failure) {
    ++done;
    if (!terminal) return std::string(failure);
    std::string text = "\r";
    if (!failure.empty()) {
        // Blank the progress line, put the message there, redraw below it.
        text.append(shown, ' ');
        text += '\r';
        text += failure;
    }
    const std::string line = ProgressText(done, total);
    text += line;
    // The count only grows, but blank any tail left by a longer line.
    if (failure.empty() && line.size() < shown) text.append(shown - line.size(), ' ');
    shown = line.size();
    return text;
}

std::string Progress::End() {
    if (!terminal || shown == 0) return {};
    shown = 0;
    return "\n";
}

}  // namespace bmpvintage
