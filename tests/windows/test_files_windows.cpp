// Text files on Windows: the last-error codes behind the run-time error
// numbers, and opening without sharing on real files.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>

#include "platform/files/file_seam.h"
#include "platform/files/files.h"
#include "runtime/errors.h"

namespace {

namespace fs = std::filesystem;

TEST(FileErrorTable, EveryListedCodeHasItsNumber) {
    const std::map<int, int> listed = {
        {2, 53},  {18, 53},                                                       // not found
        {3, 76},                                                                  // path not found
        {4, 67},                                                                  // too many open files
        {5, 70},  {19, 70}, {32, 70}, {33, 70}, {36, 70},                         // access, sharing, lock
        {8, 7},   {14, 7},                                                        // out of memory
        {15, 68}, {20, 68},                                                       // invalid drive, bad unit
        {17, 74},                                                                 // not same device
        {21, 71},                                                                 // drive not ready
        {23, 72}, {25, 72}, {26, 72}, {27, 72}, {28, 72}, {29, 72}, {30, 72},     // media failures
        {31, 72}, {34, 72}, {35, 72},                                             // general failure, wrong disk
        {38, 62},                                                                 // end of file
        {39, 61}, {112, 61},                                                      // disk full
        {87, 5},                                                                  // invalid parameter
        {6, 51},  {11, 51}, {12, 51}, {13, 51}, {22, 51}, {24, 51},               // bad handle, command, data
        {7, fatalErrorFloor}, {9, fatalErrorFloor}, {10, fatalErrorFloor},        // damaged memory: the end
    };
    for (int code = 1; code <= 2000; ++code) {
        const auto entry = listed.find(code);
        const int expected = entry != listed.end() ? entry->second : 75;
        EXPECT_EQ(fileErrorNumberFromNative(code), expected) << "last-error code " << code;
    }
    EXPECT_EQ(fileErrorNumberFromNative(ERROR_ALREADY_EXISTS), 75);
    EXPECT_EQ(fileErrorNumberFromNative(ERROR_INVALID_NAME), 75);
}

// The run-time error number the action raises, 0 when it raises none.
int errorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const ErrorJump& jump) {
        return jump.number;
    }
    return 0;
}

class WindowsFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("fixqrv-files-" + std::to_string(GetCurrentProcessId()));
        fs::remove_all(dir);
        fs::create_directory(dir);
        resetErrorState();
        installHandler(Handler::fileRead);
    }
    void TearDown() override {
        if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
        resetErrorState();
        closeAllFiles();
        fs::remove_all(dir);
    }
    std::string path(const std::string& name) const { return (dir / name).string(); }
    std::string put(const std::string& name, const std::string& bytes) const {
        std::ofstream(path(name), std::ios::binary) << bytes;
        return path(name);
    }
    std::string contents(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    // Another program's open of the file, with the given sharing.
    HANDLE openElsewhere(const std::string& name, DWORD share) {
        other = CreateFileA(path(name).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
        return other;
    }

    fs::path dir;
    HANDLE other = INVALID_HANDLE_VALUE;
};

TEST_F(WindowsFiles, OpenFailuresHaveTheirNumbers) {
    EXPECT_EQ(errorOf([&] { openTextFile(path("QRV1.BAS"), 3); }), 53);
    EXPECT_EQ(errorOf([&] { openTextFile(path("missing\\QRV1.BAS"), 3); }), 76);
    EXPECT_EQ(errorOf([&] { createTextFile(path("missing\\COMMPORT.NUM"), 1); }), 76);
    fs::create_directory(dir / "folder");
    EXPECT_EQ(errorOf([&] { openTextFile(path("folder"), 3); }), 70);
    EXPECT_FALSE(fileNumberInUse(3));
    EXPECT_FALSE(fileNumberInUse(1));
}

TEST_F(WindowsFiles, AnOpenFileIsSharedWithNobody) {
    put("QRV1.BAS", "10 REM\r\n");
    openTextFile(path("QRV1.BAS"), 3);
    EXPECT_EQ(openElsewhere("QRV1.BAS", FILE_SHARE_READ | FILE_SHARE_WRITE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    closeFile(3);
    EXPECT_NE(openElsewhere("QRV1.BAS", 0), INVALID_HANDLE_VALUE);
}

TEST_F(WindowsFiles, AFileAnotherProgramHoldsIsLockedAndKeepsItsContent) {
    put("COMMPORT.NUM", "7\r\n");
    ASSERT_NE(openElsewhere("COMMPORT.NUM", FILE_SHARE_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(errorOf([&] { openTextFile(path("COMMPORT.NUM"), 1); }), 70);
    EXPECT_EQ(errorOf([&] { createTextFile(path("COMMPORT.NUM"), 1); }), 70);
    EXPECT_FALSE(fileNumberInUse(1));
    CloseHandle(other);
    other = INVALID_HANDLE_VALUE;
    EXPECT_EQ(contents("COMMPORT.NUM"), "7\r\n");
}

TEST_F(WindowsFiles, WritingReplacesTheFileAndClosingCutsIt) {
    put("COMMPORT.NUM", "a much longer earlier content\r\n");
    createTextFile(path("COMMPORT.NUM"), 1);
    EXPECT_EQ(openElsewhere("COMMPORT.NUM", FILE_SHARE_READ | FILE_SHARE_WRITE), INVALID_HANDLE_VALUE);
    writeTextLine(1, "12");
    writeTextLine(1, "");
    closeFile(1);
    EXPECT_EQ(contents("COMMPORT.NUM"), "12\r\n\r\n");
}

TEST_F(WindowsFiles, LinesSizeAndEndComeFromTheFile) {
    const std::string first(127, 'a');  // its CR ends the first buffer, the LF starts the next
    put("QRV2.BAS", first + "\r\nB\r\n\x1aignored\r\n");
    openTextFile(path("QRV2.BAS"), 3);
    EXPECT_EQ(fileSize(3), 142);
    EXPECT_EQ(readTextLine(3), first);
    EXPECT_FALSE(atEndOfFile(3));
    EXPECT_EQ(readTextLine(3), "B");
    EXPECT_TRUE(atEndOfFile(3));
    EXPECT_EQ(errorOf([] { readTextLine(3); }), 62);
}

TEST_F(WindowsFiles, TheNullDeviceIsADevice) {
    openTextFile("NUL", 3);
    EXPECT_EQ(fileSize(3), 0);
    EXPECT_TRUE(atEndOfFile(3));
    closeFile(3);
    createTextFile("NUL", 1);
    EXPECT_EQ(errorOf([] { writeTextLine(1, "7"); }), 0);
    EXPECT_EQ(errorOf([] { closeFile(1); }), 0);
}

TEST_F(WindowsFiles, ErrorDialogsAreOffOnlyWhileAFileCallRuns) {
    const UINT before = SetErrorMode(0);
    EXPECT_EQ(errorOf([&] { openTextFile(path("QRV1.BAS"), 3); }), 53);
    EXPECT_EQ(SetErrorMode(before), 0u);
}

}  // namespace
