// Host-side helper of the USB-adapter tier: the least time an upload of a
// program file needs into fixqrv-sim --baud-pacing, in seconds, from the
// first line stored to the last.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/controller-sim/least_time.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: usb_least_time PROGRAM-FILE\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::perror(argv[1]);
        return 1;
    }
    // Lines end in CR or CR LF; Ctrl-Z ends the file.
    std::string text(std::istreambuf_iterator<char>(in), {});
    text = text.substr(0, text.find('\x1a'));
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r') {
            line += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        lines.push_back(line);
        line.clear();
    }
    if (!line.empty()) lines.push_back(line);
    sim::Behaviour behaviour;
    behaviour.baudPacing = true;
    std::printf("%.3f\n", sim::leastUploadSeconds(lines, behaviour));
    return 0;
}
