#include "tools/Progress.h"

namespace bmpvintage {

namespace {

// Characters that are printable but change how the text around them is
// shown: the bidirectional controls (a name can read backwards) and the
// line and paragraph separators (a name can seem to end early).
bool ChangesDisplay(char32_t c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x2028 && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

// The length of the UTF-8 sequence at the start of `text` that is a
// printable character; 0 when the first byte must be escaped (a control
// character, C1 controls included, a character ChangesDisplay, or not
// UTF-8: a stray or overlong sequence, a surrogate or a value past
// U+10FFFF).
std::size_t PrintableAt(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return lead >= 0x20 && lead != 0x7F ? 1 : 0;
    std::size_t n;
    char32_t c;
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
        c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        c = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        c = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() < n) return 0;
    for (std::size_t i = 1; i < n; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        c = c << 6 | (byte(i) & 0x3F);
    }
    const char32_t least = n == 2 ? 0x80 : n == 3 ? 0x800 : 0x10000;
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    return c <= 0x9F || ChangesDisplay(c) ? 0 : n;
}

void AppendEscape(std::string& to, unsigned char byte) {
    static constexpr char kNamed[] = "abtnvfr";  // \a (7) to \r (13)
    to += '\\';
    if (byte >= 7 && byte <= 13) {
        to += kNamed[byte - 7];
    } else {
        to += static_cast<char>('0' + (byte >> 6));
        to += static_cast<char>('0' + (byte >> 3 & 7));
        to += static_cast<char>('0' + (byte & 7));
    }
}

// Printable runs in '...' (a quote as '\''), the others in $'...', each
// byte of them escaped: \n, or in octal (\342\200\256 for U+202E).
std::string Quoted(std::string_view name) {
    std::string quoted = "'";
    bool escaping = false;
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t n = PrintableAt(name.substr(i));
        if (n == 0) {
            if (!escaping) quoted += "'$'";
            escaping = true;
            AppendEscape(quoted, static_cast<unsigned char>(name[i++]));
            continue;
        }
        if (escaping) quoted += "''";
        escaping = false;
        if (name[i] == '\'') {
            quoted += "'\\''";
        } else {
            quoted.append(name.substr(i, n));
        }
        i += n;
    }
    quoted += '\'';
    return quoted;
}

}  // namespace

std::string QuoteName(std::string_view name) {
    bool plain = true;
    for (std::size_t i = 0; plain && i < name.size();) {
        const std::size_t n = PrintableAt(name.substr(i));
        plain = n != 0;
        i += n;
    }
    return plain ? std::string(name) : Quoted(name);
}

std::string QuoteWord(std::string_view word) {
    return Quoted(word);
}

std::string FailureMessage(std::string_view file, std::string_view line, std::string_view reason) {
    std::string text = "bmpvintage: ";
    text += QuoteName(file);
    text += ": ";
    text += line;
    if (!reason.empty()) {
        text += " (";
        text += reason;
        text += ')';
    }
    text += '\n';
    return text;
}

std::string ProgressText(std::size_t done, std::size_t total) {
    return std::to_string(done) + " of " + std::to_string(total) + " files done";
}

std::string SummaryText(std::size_t total, std::size_t failed, std::size_t links) {
    std::string text = std::to_string(total) + (total == 1 ? " file: " : " files: ") +
                       std::to_string(total - failed) + " converted, " + std::to_string(failed) +
                       " failed";
    if (links != 0) {
        text += ", " + std::to_string(links) + (links == 1 ? " link" : " links") + " not followed";
    }
    return text;
}

std::string Progress::Start() {
    if (!terminal) return {};
    const std::string line = ProgressText(done, total);
    shown = line.size();
    return "\r" + line;
}

std::string Progress::Finished(std::string_view failure) {
    ++done;
    if (!failure.empty()) ++failed;
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
    // Always longer than the progress line it covers.
    std::string text = "\r";
    text += SummaryText(total, failed, links);
    text += '\n';
    return text;
}

}  // namespace bmpvintage
