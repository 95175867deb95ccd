// Guest-side helper of the real-UART tier: tries to open a COM port the way
// FixQRV does, while FixQRV itself has it, and prints the run-time error
// number the seam gives (0 when it opened).
#include <cstdio>

#include "platform/serial/serial_seam.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: uart_probe COMn\n");
        return 2;
    }
    SerialHandle handle;
    const int error = serialSeamOpen(argv[1], handle);
    if (error == 0) serialSeamClose(handle);
    std::printf("%d\n", error);
    return 0;
}
