// The serial seam on Windows: the COM device opened by its program name
// ("COM3", "\\.\COM12") without sharing, for synchronous transfers. The line
// settings live in the driver's DCB, the receive count and the line errors
// come from ClearCommError, and reads return at once when nothing is there.
#include <windows.h>

#include <map>

#include "platform/console/activity_windows.h"
#include "platform/files/file_seam.h"
#include "platform/serial/serial_seam.h"

namespace {

// A write that the driver has not taken within this time (a handshake
// line that never comes up) fails instead of hanging the program.
constexpr DWORD writeStallMilliseconds = 2000;

// Received parity errors and breaks are not reported.
constexpr DWORD reportedLineErrors = CE_RXOVER | CE_OVERRUN | CE_FRAME | CE_TXFULL | CE_IOE;

constexpr int communicationError = 69;
constexpr int settingRefused = 5;

// Handles fit in 32 bits on 64-bit Windows as well (sign-extended back).
HANDLE native(SerialHandle handle) { return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(handle.value)); }

// A failed query on the open port: the number of its system failure.
int queryFailure() { return fileErrorNumberFromNative(static_cast<int>(GetLastError())); }

bool readState(HANDLE port, DCB& state) {
    state = DCB{};
    state.DCBlength = sizeof state;
    return GetCommState(port, &state) != FALSE;
}

// The driver keeps a port's settings and time-outs from one opening to the
// next: what the port was found with is put back at closing, so that the
// next program finds it as it was, not at our rate with reads that return
// at once.
struct FoundPort {
    bool stateRead = false;
    DCB state{};
    bool timeoutsRead = false;
    COMMTIMEOUTS timeouts{};
};
std::map<HANDLE, FoundPort> foundPorts;
// The console's control thread puts ports back too (onEnding).
SRWLOCK foundPortsLock = SRWLOCK_INIT;

void restore(HANDLE port, FoundPort& found) {
    // What was written leaves the line at our rate before the rate changes.
    FlushFileBuffers(port);
    if (found.stateRead) SetCommState(port, &found.state);
    if (found.timeoutsRead) SetCommTimeouts(port, &found.timeouts);
}

void putBack(HANDLE port) {
    AcquireSRWLockExclusive(&foundPortsLock);
    if (const auto found = foundPorts.find(port); found != foundPorts.end()) {
        restore(port, found->second);
        foundPorts.erase(found);
    }
    ReleaseSRWLockExclusive(&foundPortsLock);
}

// Closing the console window, logging off and shutting down end the
// process once the control handlers have returned, without the program's
// own closing: the open ports are put back here, on the handler's thread.
// FALSE passes the event on to the console's handler and the system's.
BOOL WINAPI onEnding(DWORD event) {
    if (event != CTRL_CLOSE_EVENT && event != CTRL_LOGOFF_EVENT && event != CTRL_SHUTDOWN_EVENT) return FALSE;
    AcquireSRWLockExclusive(&foundPortsLock);
    for (auto& [port, found] : foundPorts) restore(port, found);
    foundPorts.clear();
    ReleaseSRWLockExclusive(&foundPortsLock);
    return FALSE;
}

// Every received byte must reach the program unchanged, XON and XOFF
// included, and a three-wire cable never raises the handshake inputs: the
// driver's own XON/XOFF, its byte replacement and stripping, and CTS/DSR
// handshaking are switched off, whatever an earlier program left. Reads
// return at once with what is there (the program reads only announced
// bytes); writes are bounded by writeStallMilliseconds.
void makeRaw(HANDLE port) {
    DCB state;
    if (readState(port, state)) {
        state.fBinary = TRUE;
        state.fOutX = FALSE;
        state.fInX = FALSE;
        state.fErrorChar = FALSE;
        state.fNull = FALSE;
        state.fOutxCtsFlow = FALSE;
        state.fOutxDsrFlow = FALSE;
        state.fDsrSensitivity = FALSE;
        state.fAbortOnError = FALSE;  // line errors are read by ClearCommError only
        SetCommState(port, &state);
    }
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, writeStallMilliseconds};
    SetCommTimeouts(port, &timeouts);
}

SerialSettings settingsOf(const DCB& state) {
    SerialSettings settings;
    settings.baudRate = static_cast<int>(state.BaudRate);
    settings.dataBits = state.ByteSize;
    settings.parityChecking = state.fParity || state.Parity != NOPARITY;
    // 1.5 reads as 2, so that asking for one stop bit changes it.
    settings.stopBits = state.StopBits == ONESTOPBIT ? 1 : 2;
    return settings;
}

}  // namespace

int serialSeamOpen(const std::string& portName, SerialHandle& handle) {
    const HANDLE port = CreateFileA(portName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) return communicationError;
    if (GetFileType(port) != FILE_TYPE_CHAR) {  // an ordinary file of that name
        CloseHandle(port);
        return communicationError;
    }
    FoundPort found;
    found.stateRead = readState(port, found.state);
    found.timeoutsRead = GetCommTimeouts(port, &found.timeouts) != FALSE;
    static const bool endingHandled = SetConsoleCtrlHandler(onEnding, TRUE) != FALSE;
    (void)endingHandled;
    AcquireSRWLockExclusive(&foundPortsLock);
    foundPorts[port] = found;
    ReleaseSRWLockExclusive(&foundPortsLock);
    makeRaw(port);
    handle.value = static_cast<long>(reinterpret_cast<INT_PTR>(port));
    serialPortOpened();
    return 0;
}

int serialSeamClose(SerialHandle handle) {
    serialPortClosed();
    putBack(native(handle));
    return CloseHandle(native(handle)) ? 0 : queryFailure();
}

int serialSeamReadSettings(SerialHandle handle, SerialSettings& settings) {
    DCB state;
    if (!readState(native(handle), state)) return queryFailure();
    settings = settingsOf(state);
    return 0;
}

// Only the items that differ from the driver's present state are changed,
// so the driver's own values (a 1.5 stop bit, a parity scheme) stay unless
// the program asks for something else.
int serialSeamWriteSettings(SerialHandle handle, const SerialSettings& settings) {
    const HANDLE port = native(handle);
    DCB state;
    if (!readState(port, state)) return queryFailure();
    const SerialSettings present = settingsOf(state);
    if (settings.baudRate != present.baudRate) state.BaudRate = static_cast<DWORD>(settings.baudRate);
    if (settings.dataBits != present.dataBits) state.ByteSize = static_cast<BYTE>(settings.dataBits);
    if (settings.parityChecking != present.parityChecking) {
        state.fParity = settings.parityChecking ? TRUE : FALSE;
        if (!settings.parityChecking) state.Parity = NOPARITY;
    }
    if (settings.stopBits != present.stopBits) state.StopBits = settings.stopBits == 1 ? ONESTOPBIT : TWOSTOPBITS;
    return SetCommState(port, &state) ? 0 : settingRefused;
}

int serialSeamQueueSizes(SerialHandle handle, int& transmit, int& receive) {
    COMMPROP properties{};
    if (!GetCommProperties(native(handle), &properties)) return queryFailure();
    transmit = static_cast<int>(properties.dwCurrentTxQueue);
    receive = static_cast<int>(properties.dwCurrentRxQueue);
    return 0;
}

int serialSeamRecommendQueueSizes(SerialHandle handle, int transmit, int receive) {
    return SetupComm(native(handle), static_cast<DWORD>(receive), static_cast<DWORD>(transmit)) ? 0
                                                                                               : settingRefused;
}

// Through the DCB rather than EscapeCommFunction: the driver then keeps DTR
// as set, and Wine's serial layer refuses the escape on pseudo-terminals.
int serialSeamSetDtr(SerialHandle handle, bool on) {
    const HANDLE port = native(handle);
    DCB state;
    if (!readState(port, state)) return queryFailure();
    state.fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    return SetCommState(port, &state) ? 0 : settingRefused;
}

int serialSeamStatus(SerialHandle handle, int& waiting, bool& lineError) {
    waiting = 0;
    lineError = false;
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(native(handle), &errors, &status)) return queryFailure();
    waiting = static_cast<int>(status.cbInQue);
    lineError = (errors & reportedLineErrors) != 0;
    return 0;
}

int serialSeamReadByte(SerialHandle handle, char& byte, bool& got) {
    DWORD count = 0;
    got = false;
    if (!ReadFile(native(handle), &byte, 1, &count, nullptr)) return queryFailure();
    got = count == 1;
    return 0;
}

// A synchronous comm handle is not waited on; nothing to tune.
void serialSeamExpect(SerialHandle, int) {}

int serialSeamWrite(SerialHandle handle, const char* data, int count) {
    DWORD written = 0;
    if (!WriteFile(native(handle), data, static_cast<DWORD>(count), &written, nullptr)) return communicationError;
    return written == static_cast<DWORD>(count) ? 0 : communicationError;
}

std::string serialSeamDevicePath(const std::string&) { return {}; }
