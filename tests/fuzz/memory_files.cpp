#include "memory_files.h"

#include <algorithm>
#include <map>
#include <set>

#include "platform/files/file_seam.h"
#include "platform/files/upload_log_seam.h"

namespace {

struct Open {
    std::string name;
    std::size_t position = 0;
};

std::map<std::string, std::string> files;
std::set<std::string> locked;
std::map<long, Open> handles;
std::map<std::string, int> opensForReading;
std::vector<std::size_t> readSizes;
std::size_t nextReadSize = 0;
int reads = 0;
int failingRead = 0;
int failingError = 0;
long nextHandle = 1;

bool heldOpen(const std::string& name) {
    return std::any_of(handles.begin(), handles.end(), [&](const auto& h) { return h.second.name == name; });
}

int openHandle(const std::string& name, FileHandle& handle) {
    // Exclusive, as a Windows open without sharing or a held flock.
    if (locked.contains(name) || heldOpen(name)) return 70;
    handle.value = nextHandle++;
    handles[handle.value] = Open{name, 0};
    return 0;
}

}  // namespace

namespace memfs {

void reset() {
    files.clear();
    locked.clear();
    handles.clear();
    opensForReading.clear();
    readSizes.clear();
    nextReadSize = 0;
    reads = 0;
    failingRead = failingError = 0;
    nextHandle = 1;
}

void putFile(const std::string& name, const std::string& bytes) { files[name] = bytes; }
void lockFile(const std::string& name) { locked.insert(name); }
bool exists(const std::string& name) { return files.contains(name); }
std::string contents(const std::string& name) { return exists(name) ? files[name] : std::string(); }
void setReadSizes(std::vector<std::size_t> sizes) {
    readSizes = std::move(sizes);
    nextReadSize = 0;
}
void failRead(int readNumber, int error) {
    failingRead = readNumber;
    failingError = error;
}
int readOpens(const std::string& name) {
    const auto found = opensForReading.find(name);
    return found == opensForReading.end() ? 0 : found->second;
}
int openHandles() { return static_cast<int>(handles.size()); }
int readCalls() { return reads; }

}  // namespace memfs

int fileSeamOpenForReading(const std::string& name, FileHandle& handle) {
    if (!files.contains(name)) return 53;
    const int error = openHandle(name, handle);
    if (error == 0) ++opensForReading[name];
    return error;
}

// Taken from nobody: no lock is looked at or held.
int fileSeamOpenSharedForReading(const std::string& name, FileHandle& handle) {
    if (!files.contains(name)) return 53;
    handle.value = nextHandle++;
    handles[handle.value] = Open{name, 0};
    return 0;
}

int fileSeamCreateForWriting(const std::string& name, FileHandle& handle) {
    const int error = openHandle(name, handle);
    if (error == 0) files[name].clear();
    return error;
}

int fileSeamIsDevice(FileHandle, bool& isDevice) {
    isDevice = false;
    return 0;
}

int fileSeamRead(FileHandle handle, char* buffer, std::size_t size, std::size_t& got) {
    got = 0;
    if (++reads == failingRead) return failingError;
    Open& open = handles.at(handle.value);
    const std::string& bytes = files[open.name];
    std::size_t take = size;
    if (!readSizes.empty()) {
        take = std::min(take, std::max<std::size_t>(1, readSizes[nextReadSize]));
        nextReadSize = (nextReadSize + 1) % readSizes.size();
    }
    if (open.position < bytes.size()) got = std::min(take, bytes.size() - open.position);
    std::copy_n(bytes.data() + open.position, got, buffer);
    open.position += got;
    return 0;
}

int fileSeamWrite(FileHandle handle, const char* data, std::size_t size, std::size_t& written) {
    Open& open = handles.at(handle.value);
    std::string& bytes = files[open.name];
    if (bytes.size() < open.position) bytes.resize(open.position);
    bytes.replace(open.position, std::min(size, bytes.size() - open.position), data, size);
    open.position += size;
    written = size;
    return 0;
}

int fileSeamCurrentSize(FileHandle handle, std::int64_t& size) {
    size = static_cast<std::int64_t>(files[handles.at(handle.value).name].size());
    return 0;
}

int fileSeamCutAtWritePosition(FileHandle handle) {
    const Open& open = handles.at(handle.value);
    files[open.name].resize(open.position);
    return 0;
}

int fileSeamClose(FileHandle handle) {
    handles.erase(handle.value);
    return 0;
}

int fileErrorNumberFromNative(int) { return 75; }

// The upload log is off in these runs: the record is kept, never written.
bool uploadLogChooseFile() { return false; }
void uploadLogPrepareFatalEnd(const std::string&, const SignalRowParts&, int) {}
void uploadLogAppendRow(const std::string&, const std::string&) {}
