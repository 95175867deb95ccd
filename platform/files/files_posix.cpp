// POSIX file primitives: descriptors, advisory flock for exclusive opening.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files/file_seam.h"
#include "runtime/errors.h"

namespace {

struct ErrnoNumber {
    int code;
    int number;
};

// First match wins, so codes that share a value on some systems (EAGAIN and
// EWOULDBLOCK) may both be listed.
constexpr ErrnoNumber errnoTable[] = {
    {ENOENT, 53},       {ENOTDIR, 76},      {EACCES, 70},     {EPERM, 70},
    {EROFS, 70},        {EWOULDBLOCK, 70},  {EAGAIN, 70},     {ETXTBSY, 70},
    {EISDIR, 70},       {ENOSPC, 61},       {EDQUOT, 61},     {EMFILE, 67},
    {ENFILE, 67},       {ENOMEM, 7},        {ENXIO, 68},      {ENODEV, 68},
    {EIO, 72},          {EXDEV, 74},        {EINVAL, 5},      {ENAMETOOLONG, 64},
    {EBADF, 51},        {EFAULT, fatalErrorFloor},
};

constexpr int otherFailure = 75;

template <typename Call>
auto retryingInterrupts(Call call) {
    decltype(call()) result;
    do result = call();
    while (result == -1 && errno == EINTR);
    return result;
}

int lastFailure() { return fileErrorNumberFromNative(errno); }

// ENOENT stands both for a missing file and for a missing directory on the
// way to it; only the parent directory tells which one it was.
int missingFileNumber(const std::string& name) {
    const auto end = name.find_last_not_of('/');
    const auto slash = end == std::string::npos ? 0 : name.rfind('/', end);
    const std::string parent = slash == std::string::npos ? std::string(".")
                               : slash == 0           ? std::string("/")
                                                      : name.substr(0, slash);
    struct stat info {};
    const bool parentIsDirectory = ::stat(parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    return parentIsDirectory ? 53 : 76;
}

// Makes a freshly opened descriptor ready: directories refused, blocking
// input and output, disk files locked and, for writing, cut to 0 only once
// the lock is held.
int prepareOpened(int fd, bool cut) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return lastFailure();
    if (S_ISDIR(info.st_mode)) return 70;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags == -1 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) return lastFailure();
    if (!S_ISREG(info.st_mode)) return 0;
    if (retryingInterrupts([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0)
        return lastFailure();
    if (cut && retryingInterrupts([&] { return ::ftruncate(fd, 0); }) != 0) return lastFailure();
    return 0;
}

int openExclusive(const std::string& name, int accessFlags, bool cut, FileHandle& handle) {
    // O_NONBLOCK only keeps open() from waiting for the other end of a FIFO
    // or for a modem line; prepareOpened clears it again.
    const int flags = accessFlags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    const int fd = retryingInterrupts([&] { return ::open(name.c_str(), flags, 0666); });
    if (fd == -1) return errno == ENOENT ? missingFileNumber(name) : lastFailure();
    const int error = prepareOpened(fd, cut);
    if (error != 0) {
        ::close(fd);
        return error;
    }
    handle.value = fd;
    return 0;
}

int descriptor(FileHandle handle) { return static_cast<int>(handle.value); }

}  // namespace

int fileErrorNumberFromNative(int code) {
    for (const auto& entry : errnoTable)
        if (entry.code == code) return entry.number;
    return otherFailure;
}

int fileSeamOpenForReading(const std::string& name, FileHandle& handle) {
    return openExclusive(name, O_RDONLY, false, handle);
}

int fileSeamOpenSharedForReading(const std::string& name, FileHandle& handle) {
    // Looked at first, so that a FIFO's writer or a device never sees an
    // opening; the opened one is looked at again.
    struct stat info {};
    if (::stat(name.c_str(), &info) != 0) return lastFailure();
    if (!S_ISREG(info.st_mode)) return 70;
    const int fd = retryingInterrupts(
        [&] { return ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK); });
    if (fd == -1) return lastFailure();
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return 70;
    }
    handle.value = fd;
    return 0;
}

int fileSeamCreateForWriting(const std::string& name, FileHandle& handle) {
    return openExclusive(name, O_WRONLY | O_CREAT, true, handle);
}

int fileSeamIsDevice(FileHandle handle, bool& isDevice) {
    struct stat info {};
    if (::fstat(descriptor(handle), &info) != 0) return lastFailure();
    isDevice = !S_ISREG(info.st_mode);
    return 0;
}

int fileSeamRead(FileHandle handle, char* buffer, std::size_t size, std::size_t& got) {
    got = 0;
    const ssize_t count =
        retryingInterrupts([&] { return ::read(descriptor(handle), buffer, size); });
    if (count < 0) return lastFailure();
    got = static_cast<std::size_t>(count);
    return 0;
}

int fileSeamWrite(FileHandle handle, const char* data, std::size_t size,
                  std::size_t& written) {
    written = 0;
    while (written < size) {
        const ssize_t count = retryingInterrupts(
            [&] { return ::write(descriptor(handle), data + written, size - written); });
        if (count < 0) return lastFailure();
        if (count == 0) return fileErrorNumberFromNative(ENOSPC);  // stores nothing more
        written += static_cast<std::size_t>(count);
    }
    return 0;
}

int fileSeamCurrentSize(FileHandle handle, std::int64_t& size) {
    struct stat info {};
    if (::fstat(descriptor(handle), &info) != 0) return lastFailure();
    size = static_cast<std::int64_t>(info.st_size);
    return 0;
}

int fileSeamCutAtWritePosition(FileHandle handle) {
    const off_t position = ::lseek(descriptor(handle), 0, SEEK_CUR);
    if (position == -1) return lastFailure();
    if (retryingInterrupts([&] { return ::ftruncate(descriptor(handle), position); }) != 0)
        return lastFailure();
    return 0;
}

int fileSeamClose(FileHandle handle) {
    // Linux releases the descriptor even when close() is interrupted; a
    // retry could close a descriptor opened meanwhile by someone else.
    if (::close(descriptor(handle)) != 0 && errno != EINTR) return lastFailure();
    return 0;
}
