#include "tools/controller-sim/journal.h"

#include <cstdio>

namespace sim {

void Journal::note(Micros at, std::string_view tag, std::string_view text) {
    entries_.push_back({at, std::string(tag), std::string(text)});
}

std::vector<JournalEntry> Journal::take() {
    std::vector<JournalEntry> taken;
    taken.swap(entries_);
    return taken;
}

std::string escapeBytes(std::string_view bytes) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 32 && c < 127) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string formatEntry(const JournalEntry& entry) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%lld.%03lld",
                  static_cast<long long>(entry.at / 1000000),
                  static_cast<long long>(entry.at / 1000 % 1000));
    // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict
    // on a concatenation of temporaries here.
    std::string line(stamp);
    line += ' ';
    line += entry.tag;
    if (!entry.text.empty()) {
        line += ' ';
        line += escapeBytes(entry.text);
    }
    return line;
}

}  // namespace sim
