// The upload log on Windows: wide paths, so that a user name outside the
// ANSI code page still finds its folder. The row of a run ended by closing
// its console window is written on the control handler's thread, while the
// program's own thread may still run: the ready row is guarded by a lock,
// and whichever end takes the row first writes it.
#include <windows.h>

#include <string>

#include "platform/console/clock_seam.h"
#include "platform/files/error_dialogs_windows.h"
#include "platform/files/upload_log_seam.h"

namespace {

std::wstring logPath;  // set before the handler can read it
std::string header;
SignalRowParts readyRow;
SRWLOCK readyLock = SRWLOCK_INIT;
volatile LONG armed = 0;
volatile LONG rowTaken = 0;

std::wstring environmentValue(const wchar_t* name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) return {};
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(name, value.data(), size));
    return value;
}

bool writeWhole(HANDLE file, const std::string& data) {
    DWORD written = 0;
    return WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) && written == data.size();
}

void makeFolders(const std::wstring& path) {
    for (std::size_t i = 1; i < path.size(); ++i)
        if (path[i] == L'\\' || path[i] == L'/') CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
}

// A new log appears whole, header and first row, or not at all: true when
// it did with this block. False when another run made it meanwhile (the row
// is then appended) or it cannot be made.
bool createLog(const std::string& block) {
    makeFolders(logPath);
    const std::wstring temporary = logPath + L".new-" + std::to_wstring(GetCurrentProcessId());
    const HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool written = writeWhole(file, block);
    CloseHandle(file);
    if (written && MoveFileExW(temporary.c_str(), logPath.c_str(), 0)) return true;
    DeleteFileW(temporary.c_str());
    return false;
}

// FILE_APPEND_DATA alone: every write goes to the end in one piece.
void appendToLog(const std::string& headerText, const std::string& row) {
    NoErrorDialogs quiet;
    const DWORD attributes = GetFileAttributesW(logPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD why = GetLastError();
        if (why != ERROR_FILE_NOT_FOUND && why != ERROR_PATH_NOT_FOUND) return;
        if (createLog(headerText + row)) return;
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        return;
    }
    const HANDLE file = CreateFileW(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    LARGE_INTEGER size{};
    if (GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &size))
        writeWhole(file, size.QuadPart == 0 ? headerText + row : row);
    CloseHandle(file);
}

const char* eventName(DWORD event) {
    switch (event) {
        case CTRL_CLOSE_EVENT: return "CTRL_CLOSE_EVENT";
        case CTRL_LOGOFF_EVENT: return "CTRL_LOGOFF_EVENT";
        case CTRL_SHUTDOWN_EVENT: return "CTRL_SHUTDOWN_EVENT";
        default: return nullptr;
    }
}

// The system ends the program once the control handlers have returned,
// without its own closing. FALSE passes the event on to the others.
BOOL WINAPI onEnding(DWORD event) {
    const char* name = eventName(event);
    if (name == nullptr || !armed || InterlockedExchange(&rowTaken, 1) != 0) return FALSE;
    char ended[localTimeLength + 1];
    formatLocalTime(clockCalendarNow(), ended);
    AcquireSRWLockShared(&readyLock);
    const std::string row = readyRow.beforeEnd + ended + readyRow.afterEnd + name + readyRow.afterMessage;
    const std::string headerText = header;
    ReleaseSRWLockShared(&readyLock);
    appendToLog(headerText, row);
    return FALSE;
}

}  // namespace

bool uploadLogChooseFile() {
    InterlockedExchange(&armed, 0);
    InterlockedExchange(&rowTaken, 0);
    logPath.clear();
    const std::wstring chosen = environmentValue(L"FIXQRV_LOG");
    if (!chosen.empty()) {
        if (_wcsicmp(chosen.c_str(), L"off") == 0) return false;
        logPath = chosen;
        return true;
    }
    const std::wstring local = environmentValue(L"LOCALAPPDATA");
    if (local.empty()) return false;
    logPath = local + L"\\FixQRV\\uploads.csv";
    return true;
}

void uploadLogPrepareFatalEnd(const std::string& headerText, const SignalRowParts& row, int) {
    if (logPath.empty()) return;
    // Copied before the lock is taken, so that a failed allocation never
    // leaves it held.
    std::string headerCopy = headerText;
    SignalRowParts rowCopy = row;
    AcquireSRWLockExclusive(&readyLock);
    header.swap(headerCopy);
    readyRow.beforeEnd.swap(rowCopy.beforeEnd);
    readyRow.afterEnd.swap(rowCopy.afterEnd);
    readyRow.afterMessage.swap(rowCopy.afterMessage);
    ReleaseSRWLockExclusive(&readyLock);
    static const bool handled = SetConsoleCtrlHandler(onEnding, TRUE) != FALSE;
    (void)handled;
    InterlockedExchange(&armed, 1);
}

void uploadLogAppendRow(const std::string& headerText, const std::string& row) {
    InterlockedExchange(&armed, 0);
    if (logPath.empty() || InterlockedExchange(&rowTaken, 1) != 0) return;
    appendToLog(headerText, row);
}
