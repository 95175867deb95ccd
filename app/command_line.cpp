#include "app/command_line.h"

Text commandTailOf(const Text& commandLine) {
    std::size_t at = 0;
    if (!commandLine.empty() && commandLine[0] == '"') {
        const std::size_t close = commandLine.find('"', 1);
        at = close == Text::npos ? commandLine.size() : close + 1;
    } else {
        while (at < commandLine.size() && static_cast<unsigned char>(commandLine[at]) > 32) ++at;
    }
    while (at < commandLine.size() && commandLine[at] == ' ') ++at;
    return commandLine.substr(at);
}

Text upperCaseCommand(const Text& text) {
    Text upper = text;
    for (char& c : upper) {
        switch (static_cast<unsigned char>(c)) {
            case 132: c = static_cast<char>(142); break;  // a umlaut
            case 148: c = static_cast<char>(153); break;  // o umlaut
            case 129: c = static_cast<char>(154); break;  // u umlaut
            case 130: c = static_cast<char>(144); break;  // e acute
            case 164: c = static_cast<char>(165); break;  // n tilde
            case 134: c = static_cast<char>(143); break;  // a ring
            case 135: c = static_cast<char>(128); break;  // c cedilla
            default:
                if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return upper;
}

void splitCommandLine() {
    for (auto& word : commandWords) word.clear();
    int word = 1;
    for (char c : commandText) {
        if (c == ' ') {
            ++word;
        } else if (word <= commandWordCount) {
            commandWords[static_cast<std::size_t>(word)] += c;
        }
    }
}

Text commandLineFromArguments(int argc, const char* const* argv) {
    Text name = argc > 0 && argv[0] ? argv[0] : "fixqrv";
    bool blank = false;
    for (char c : name) blank = blank || static_cast<unsigned char>(c) <= 32;
    Text line = blank ? '"' + name + '"' : name;
    if (argc > 1) line += ' ';
    for (int i = 1; i < argc; ++i) {
        if (i > 1) line += ' ';
        line += argv[i];
    }
    return line;
}
