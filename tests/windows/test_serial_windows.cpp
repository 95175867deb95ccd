// The serial seam on Windows where no device is needed: program names and
// what opening refuses. A whole upload over a port runs in the Wine tests.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/serial/serial_link.h"
#include "platform/serial/serial_seam.h"
#include "runtime/program_state.h"

namespace {

namespace fs = std::filesystem;

TEST(WindowsPortNames, TenAndAboveTakeTheDevicePrefix) {
    resetProgramState();
    EXPECT_EQ(portNameFor(1), "COM1");
    EXPECT_EQ(portNameFor(9), "COM9");
    EXPECT_EQ(portNameFor(10), "\\\\.\\COM10");
    EXPECT_EQ(portNameFor(256), "\\\\.\\COM256");
}

TEST(WindowsSerialOpen, APortWithoutADeviceIsACommunicationError) {
    SerialHandle handle;
    EXPECT_EQ(serialSeamOpen("COM9", handle), 69);
    EXPECT_EQ(serialSeamOpen("\\\\.\\COM200", handle), 69);
}

TEST(WindowsSerialOpen, AnOrdinaryFileIsNoPortAndIsLetGo) {
    const fs::path file = fs::temp_directory_path() / "fixqrv-not-a-port.txt";
    std::ofstream(file) << "x";
    SerialHandle handle;
    EXPECT_EQ(serialSeamOpen(file.string(), handle), 69);
    const HANDLE again =
        CreateFileA(file.string().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << "closed again after the check";
    if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
    fs::remove(file);
}

}  // namespace
