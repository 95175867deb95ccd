#include "platform/files/files.h"

#include <algorithm>
#include <array>
#include <map>
#include <new>

#include "platform/files/file_seam.h"
#include "runtime/errors.h"

namespace {

constexpr std::size_t recordLength = 128;
constexpr std::size_t maxNameLength = 255;
constexpr char ctrlZ = 26;

enum class FileMode : std::uint8_t { read, write };

struct OpenFile {
    FileMode mode;
    FileHandle handle;
    bool isDevice;
    std::array<char, recordLength> buffer{};
    std::size_t validBytes = 0;
    std::size_t position = 0;
};

std::map<int, OpenFile> fileTable;

// Raises the error; when no handler takes it, the operation gives `neutral`.
template <typename Result>
Result failWith(int error, Result neutral) {
    raiseError(error);
    return neutral;
}

// A name past the length limit is refused rather than cut, since the cut
// name would open, or for writing wipe, some other file. A NUL would cut it
// the same way inside the platform call.
int fileNameError(const Text& name) {
    if (name.empty() || name.size() > maxNameLength) return 64;
    if (name.find_first_of(Text("*?\0", 3)) != Text::npos) return 64;
    return 0;
}

// Makes sure a byte waits at the read position, refilling the buffer once it
// is used up; `more` is false at the physical end of the file.
int fillBuffer(OpenFile& file, bool& more) {
    if (file.position < file.validBytes) {
        more = true;
        return 0;
    }
    std::size_t got = 0;
    const int error = fileSeamRead(file.handle, file.buffer.data(), recordLength, got);
    file.validBytes = error == 0 ? got : 0;
    file.position = 0;
    more = file.validBytes > 0;
    return error;
}

// Takes the next line by the rules above, into `line` unless it is null;
// 0 or the failure, 62 when no line is left.
int takeLine(OpenFile& file, Text* line) {
    bool tookAny = false;
    for (;;) {
        bool more = false;
        if (const int error = fillBuffer(file, more)) return error;
        if (!more) break;
        const char* start = file.buffer.data() + file.position;
        const char* end = file.buffer.data() + file.validBytes;
        const char* stop = std::find_if(start, end, [](char c) { return c == '\r' || c == ctrlZ; });
        if (line != nullptr) line->append(start, stop);
        tookAny = tookAny || stop != start;
        file.position += static_cast<std::size_t>(stop - start);
        if (stop == end) continue;
        if (*stop == ctrlZ) break;
        ++file.position;  // the CR, and a LF right after it even in the next buffer
        if (const int error = fillBuffer(file, more)) return error;
        if (more && file.buffer[file.position] == '\n') ++file.position;
        return 0;
    }
    return tookAny ? 0 : 62;
}

// Whether no byte is left or the next one is Ctrl-Z.
int lookForEnd(OpenFile& file, bool& atEnd) {
    bool more = false;
    const int error = fillBuffer(file, more);
    atEnd = error != 0 || !more || file.buffer[file.position] == ctrlZ;
    return error;
}

void openFile(const Text& name, int fileNumber, FileMode mode) {
    if (const int error = fileNameError(name)) return raiseError(error);
    if (fileNumber < 0 || fileNumber > maxFileNumber) return raiseError(52);
    if (fileTable.contains(fileNumber)) return raiseError(55);

    OpenFile file{mode, {}, false};
    int error = mode == FileMode::read ? fileSeamOpenForReading(name, file.handle)
                                       : fileSeamCreateForWriting(name, file.handle);
    if (error != 0) return raiseError(error);
    error = fileSeamIsDevice(file.handle, file.isDevice);
    bool more = false;
    if (error == 0 && mode == FileMode::read) error = fillBuffer(file, more);
    if (error != 0) {
        fileSeamClose(file.handle);
        return raiseError(error);
    }
    fileTable.emplace(fileNumber, file);
}

// The open file for an operation that needs the given mode; raises 52 or 54
// and gives nullptr otherwise.
OpenFile* fileFor(int fileNumber, FileMode mode) {
    const auto found = fileTable.find(fileNumber);
    if (found == fileTable.end()) {
        raiseError(52);
        return nullptr;
    }
    if (found->second.mode != mode) {
        raiseError(54);
        return nullptr;
    }
    return &found->second;
}

// Closes a file already taken out of the table; 0 or the first failure.
int releaseFile(const OpenFile& file) {
    int error = 0;
    if (file.mode == FileMode::write && !file.isDevice)
        error = fileSeamCutAtWritePosition(file.handle);
    const int closeError = fileSeamClose(file.handle);
    return error != 0 ? error : closeError;
}

}  // namespace

void openTextFile(const Text& name, int fileNumber) {
    openFile(name, fileNumber, FileMode::read);
}

void createTextFile(const Text& name, int fileNumber) {
    openFile(name, fileNumber, FileMode::write);
}

Text readTextLine(int fileNumber) {
    OpenFile* file = fileFor(fileNumber, FileMode::read);
    if (file == nullptr) return {};
    Text line;
    try {
        if (const int error = takeLine(*file, &line)) return failWith(error, Text());
    } catch (const std::bad_alloc&) {
        return failWith(7, Text());
    }
    return line;
}

bool atEndOfFile(int fileNumber) {
    const auto found = fileTable.find(fileNumber);
    if (found == fileTable.end()) return failWith(52, true);
    OpenFile& file = found->second;
    if (file.mode == FileMode::write) return false;
    bool atEnd = true;
    if (const int error = lookForEnd(file, atEnd)) return failWith(error, true);
    return atEnd;
}

std::int64_t fileSize(int fileNumber) {
    const auto found = fileTable.find(fileNumber);
    if (found == fileTable.end()) return failWith(52, std::int64_t{0});
    if (found->second.isDevice) return 0;
    std::int64_t size = 0;
    if (const int error = fileSeamCurrentSize(found->second.handle, size))
        return failWith(error, std::int64_t{0});
    return size;
}

void writeTextLine(int fileNumber, const Text& text) {
    OpenFile* file = fileFor(fileNumber, FileMode::write);
    if (file == nullptr) return;
    // One write for the line and its end, so a line is never left without it
    // by an interruption between the two.
    const Text record = text + "\r\n";
    std::size_t written = 0;
    const int error = fileSeamWrite(file->handle, record.data(), record.size(), written);
    if (error != 0 || written != record.size()) raiseError(file->isDevice ? 57 : 61);
}

void closeFile(int fileNumber) {
    const auto found = fileTable.find(fileNumber);
    if (found == fileTable.end()) return;
    const OpenFile file = found->second;
    fileTable.erase(found);
    if (const int error = releaseFile(file)) raiseError(error);
}

bool fileNumberInUse(int fileNumber) { return fileTable.contains(fileNumber); }

void closeAllFiles() {
    int firstError = 0;
    for (const auto& [number, file] : fileTable) {
        const int error = releaseFile(file);
        if (firstError == 0) firstError = error;
    }
    fileTable.clear();
    if (firstError != 0) raiseError(firstError);
}

FileHandle nativeHandleOf(int fileNumber) {
    const auto found = fileTable.find(fileNumber);
    return found == fileTable.end() ? FileHandle{} : found->second.handle;
}

std::int64_t countTextLines(const Text& name) {
    if (fileNameError(name) != 0) return -1;
    OpenFile file{FileMode::read, {}, false};
    if (fileSeamOpenSharedForReading(name, file.handle) != 0) return -1;
    std::int64_t lines = 0;
    bool atEnd = false;
    int error = lookForEnd(file, atEnd);
    while (error == 0 && !atEnd) {
        error = takeLine(file, nullptr);
        if (error != 0) break;
        ++lines;
        error = lookForEnd(file, atEnd);
    }
    fileSeamClose(file.handle);
    return error == 0 ? lines : -1;
}
