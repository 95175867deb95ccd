// Windows file primitives: handles opened without sharing, failures read
// from the last-error code while critical-error dialogs are off.
#include <windows.h>

#include "platform/files/error_dialogs_windows.h"
#include "platform/files/file_seam.h"
#include "runtime/errors.h"

namespace {

constexpr int otherFailure = 75;

// Handles fit in 32 bits on 64-bit Windows as well, so the value survives
// the round trip through a long (sign-extended back).
HANDLE native(FileHandle handle) { return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(handle.value)); }

int lastFailure() { return fileErrorNumberFromNative(static_cast<int>(GetLastError())); }

// Share mode 0: while the file is open no other program may open it, and
// a file another program holds fails with a sharing violation (70).
int openUnshared(const std::string& name, DWORD access, DWORD disposition, FileHandle& handle) {
    const HANDLE file =
        CreateFileA(name.c_str(), access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return lastFailure();
    handle.value = static_cast<long>(reinterpret_cast<INT_PTR>(file));
    return 0;
}

int moveToStart(HANDLE file) {
    LONG high = 0;
    if (SetFilePointer(file, 0, &high, FILE_BEGIN) == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR)
        return lastFailure();
    return 0;
}

}  // namespace

int fileErrorNumberFromNative(int code) {
    switch (code) {
        case 2: case 18: return 53;  // file not found, no more files
        case 3: return 76;           // path not found
        case 4: return 67;           // too many open files
        case 5: case 19: case 32: case 33: case 36: return 70;  // access, write protect, sharing, lock
        case 8: case 14: return 7;   // out of memory
        case 15: case 20: return 68;  // invalid drive, bad unit
        case 17: return 74;          // not same device
        case 21: return 71;          // drive not ready
        case 23: case 25: case 26: case 27: case 28: case 29: case 30: case 31: case 34: case 35:
            return 72;               // media and device failures, wrong disk
        case 38: return 62;          // end of file
        case 39: case 112: return 61;  // disk full
        case 87: return 5;           // invalid parameter
        case 6: case 11: case 12: case 13: case 22: case 24: return 51;  // bad handle, command, length, data
        case 7: case 9: case 10: return fatalErrorFloor;  // the process's memory is damaged: end at once
        default: return otherFailure;
    }
}

int fileSeamOpenForReading(const std::string& name, FileHandle& handle) {
    NoErrorDialogs quiet;
    // A directory is refused by CreateFileA with access denied (70).
    return openUnshared(name, GENERIC_READ, OPEN_EXISTING, handle);
}

int fileSeamOpenSharedForReading(const std::string& name, FileHandle& handle) {
    NoErrorDialogs quiet;
    const HANDLE file = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return lastFailure();
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return 70;
    }
    handle.value = static_cast<long>(reinterpret_cast<INT_PTR>(file));
    return 0;
}

int fileSeamCreateForWriting(const std::string& name, FileHandle& handle) {
    NoErrorDialogs quiet;
    if (const int error = openUnshared(name, GENERIC_WRITE, OPEN_ALWAYS, handle)) return error;
    // Cut only once the unshared open holds the file; devices are not cut.
    const HANDLE file = native(handle);
    int error = 0;
    if (GetFileType(file) == FILE_TYPE_DISK) {
        error = moveToStart(file);
        if (error == 0 && !SetEndOfFile(file)) error = lastFailure();
    }
    if (error != 0) {
        CloseHandle(file);
        handle.value = -1;
    }
    return error;
}

int fileSeamIsDevice(FileHandle handle, bool& isDevice) {
    NoErrorDialogs quiet;
    const DWORD type = GetFileType(native(handle));
    if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) return lastFailure();
    isDevice = type != FILE_TYPE_DISK;
    return 0;
}

int fileSeamRead(FileHandle handle, char* buffer, std::size_t size, std::size_t& got) {
    NoErrorDialogs quiet;
    got = 0;
    DWORD count = 0;
    if (!ReadFile(native(handle), buffer, static_cast<DWORD>(size), &count, nullptr)) {
        // A pipe whose writer has gone has simply ended.
        if (GetLastError() == ERROR_BROKEN_PIPE) return 0;
        return lastFailure();
    }
    got = count;
    return 0;
}

int fileSeamWrite(FileHandle handle, const char* data, std::size_t size, std::size_t& written) {
    NoErrorDialogs quiet;
    written = 0;
    while (written < size) {
        DWORD count = 0;
        if (!WriteFile(native(handle), data + written, static_cast<DWORD>(size - written), &count, nullptr))
            return lastFailure();
        if (count == 0) return fileErrorNumberFromNative(ERROR_DISK_FULL);  // stores nothing more
        written += count;
    }
    return 0;
}

int fileSeamCurrentSize(FileHandle handle, std::int64_t& size) {
    NoErrorDialogs quiet;
    DWORD high = 0;
    const DWORD low = GetFileSize(native(handle), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return lastFailure();
    size = (static_cast<std::int64_t>(high) << 32) | low;
    return 0;
}

int fileSeamCutAtWritePosition(FileHandle handle) {
    NoErrorDialogs quiet;
    // The file pointer is the write position: every write goes through it.
    if (!SetEndOfFile(native(handle))) return lastFailure();
    return 0;
}

int fileSeamClose(FileHandle handle) {
    NoErrorDialogs quiet;
    if (!CloseHandle(native(handle))) return lastFailure();
    return 0;
}
