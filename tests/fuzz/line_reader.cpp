// Fuzz target: the text-file line reader, arbitrary file contents.
//
// A program file may hold anything: Ctrl-Z, CR, LF, NUL, lines far longer
// than the read buffer, and the reads beneath may come back in any size, or
// fail. Whatever the file:
//   - the lines and their ends follow the file rules: CR ends a line and
//     takes a LF right after it, a lone LF is data, Ctrl-Z ends the file,
//     the end of the file ends the last line; nothing after a Ctrl-Z or past
//     the end is ever part of a line; the loop of the upload (end test, then
//     read) ends, and a read at the end raises 62;
//   - the same lines come whatever size the reads come back in;
//   - a read that fails raises its error, and the loop still ends;
//   - a line written and read again comes back up to its first CR or
//     Ctrl-Z.
//
// Input: how many read sizes follow (low 3 bits) and whether a read fails
// (bit 3; the next byte says which, and the error is 72), the read sizes,
// how many times the contents repeat (for lines of a megabyte), contents.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "memory_files.h"
#include "platform/files/files.h"
#include "runtime/errors.h"

namespace {

constexpr const char* target = "line reader";
constexpr int fileNumber = 3;
constexpr char ctrlZ = 26;

[[noreturn]] void fail(const std::string& what) { fuzzFailure(target, what); }

// The file rules, spelled out over the whole contents.
std::vector<std::string> expectedLines(const std::string& bytes) {
    const std::size_t end = std::min(bytes.find(ctrlZ), bytes.size());
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < end) {
        const std::size_t cr = bytes.find('\r', at);
        if (cr == std::string::npos || cr >= end) {
            lines.push_back(bytes.substr(at, end - at));
            break;
        }
        lines.push_back(bytes.substr(at, cr - at));
        at = cr + 1;
        if (at < end && bytes[at] == '\n') ++at;
    }
    return lines;
}

// The upload's loop: the end test, then a line, until the end.
std::vector<std::string> readAll(std::size_t bound) {
    std::vector<std::string> lines;
    while (!atEndOfFile(fileNumber)) {
        lines.push_back(readTextLine(fileNumber));
        if (lines.size() > bound) fail("the loop over the lines does not end");
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t shape = in.byte();
    std::vector<std::size_t> readSizes;
    for (int i = shape & 7; i > 0; --i) readSizes.push_back(in.byte());
    const int failingRead = shape & 8 ? 1 + in.byte() : 0;
    const std::size_t copies = 1 + in.byte() * 4u;
    const std::string piece = in.rest();
    std::string contents;
    // Up to a megabyte: far past the read buffer and any line a program has.
    while (contents.size() < (std::size_t{1} << 20) && contents.size() < copies * piece.size()) contents += piece;

    installHandler(Handler::none);
    closeAllFiles();
    memfs::reset();
    resetErrorState();
    memfs::putFile("QRV1.BAS", contents);
    memfs::setReadSizes(readSizes);
    memfs::failRead(failingRead, 72);

    openTextFile("QRV1.BAS", fileNumber);
    if (!fileNumberInUse(fileNumber)) {
        if (failingRead == 1 && lastErrorNumber() == 72) return 0;  // the first fill failed
        fail("the file did not open");
    }
    const std::vector<std::string> lines = readAll(contents.size() + 2 + memfs::readCalls());
    if (failingRead == 0 || failingRead > memfs::readCalls()) {
        const std::vector<std::string> expected = expectedLines(contents);
        if (lines.size() != expected.size())
            fail(std::to_string(lines.size()) + " lines read, the rules give " + std::to_string(expected.size()));
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (lines[i] != expected[i])
                fail("line " + std::to_string(i + 1) + " reads " + shown(lines[i].substr(0, 60)) + ", the rules give " +
                     shown(expected[i].substr(0, 60)));
        if (lastErrorNumber() != 0) fail("error " + std::to_string(lastErrorNumber()) + " while reading");
        memfs::failRead(0, 0);  // the read at the end is not the one meant to fail
        if (!readTextLine(fileNumber).empty() || lastErrorNumber() != 62) fail("a read at the end did not raise 62");
    } else if (lastErrorNumber() != 72 && lastErrorNumber() != 62) {
        fail("a failed read raised " + std::to_string(lastErrorNumber()));
    }
    closeFile(fileNumber);

    // A line written (as COMMPORT.NUM is) comes back up to its first CR or
    // Ctrl-Z; nothing else is in the file.
    resetErrorState();
    memfs::failRead(0, 0);
    const std::string line = piece.substr(0, 300);
    createTextFile("COMMPORT.NUM", 1);
    writeTextLine(1, line);
    closeFile(1);
    if (memfs::contents("COMMPORT.NUM") != line + "\r\n") fail("the line written is not what the file holds");
    openTextFile("COMMPORT.NUM", 1);
    const std::string back = atEndOfFile(1) ? std::string() : readTextLine(1);
    closeFile(1);
    if (back != line.substr(0, line.find_first_of(std::string("\r") + ctrlZ)))
        fail("the line written reads back as " + shown(back));
    if (lastErrorNumber() != 0 || memfs::openHandles() != 0) fail("writing and reading back left an error or a file");
    return 0;
}
