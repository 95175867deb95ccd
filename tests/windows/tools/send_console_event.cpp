// Sends a console control event to a running program as Windows does when
// its console window is closed: a thread started in that program runs the
// system's control routine, which calls the program's handlers. The Wine
// tests use it, having no window to close.
//
//   send_console_event PROGRAM.EXE EVENT     (EVENT 2: the window closed)
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>

namespace {

DWORD processNamed(const char* name) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    DWORD found = 0;
    for (BOOL more = Process32First(snapshot, &entry); more && found == 0; more = Process32Next(snapshot, &entry))
        if (lstrcmpiA(entry.szExeFile, name) == 0) found = entry.th32ProcessID;
    CloseHandle(snapshot);
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: send_console_event PROGRAM.EXE EVENT\n");
        return 2;
    }
    const DWORD pid = processNamed(argv[1]);
    // The system DLLs sit at the same address in every process.
    const auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernelbase.dll"), "CtrlRoutine")));
    const HANDLE process = pid == 0 ? nullptr : OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
    if (process == nullptr || routine == nullptr) {
        std::fprintf(stderr, "send_console_event: no %s to signal\n", argv[1]);
        return 1;
    }
    const auto event = static_cast<DWORD_PTR>(std::atoi(argv[2]));
    const HANDLE thread = CreateRemoteThread(process, nullptr, 0, routine, reinterpret_cast<void*>(event), 0, nullptr);
    if (thread == nullptr) return 1;
    WaitForSingleObject(process, 10000);
    CloseHandle(thread);
    CloseHandle(process);
    return 0;
}
