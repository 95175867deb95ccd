// The upload log's file on Windows: under %LOCALAPPDATA% with its folder
// made, one header, a folder in its place skipped, FIXQRV_LOG=off.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/files/upload_log_seam.h"

namespace {

namespace fs = std::filesystem;

std::string contentsOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(UploadLogWindows, RowsGoUnderLocalAppDataWithOneHeader) {
    const fs::path folder = fs::temp_directory_path() / ("fixqrv-log-" + std::to_string(GetCurrentProcessId()));
    fs::remove_all(folder);
    fs::create_directories(folder / "a folder");
    const std::wstring localAppData = [] {
        wchar_t value[MAX_PATH] = L"";
        GetEnvironmentVariableW(L"LOCALAPPDATA", value, MAX_PATH);
        return std::wstring(value);
    }();
    SetEnvironmentVariableW(L"LOCALAPPDATA", folder.wstring().c_str());
    SetEnvironmentVariableW(L"FIXQRV_LOG", nullptr);

    ASSERT_TRUE(uploadLogChooseFile());
    uploadLogAppendRow("h\r\n", "a\r\n");
    ASSERT_TRUE(uploadLogChooseFile());
    uploadLogAppendRow("h\r\n", "b\r\n");
    uploadLogAppendRow("h\r\n", "once per run\r\n");
    EXPECT_EQ(contentsOf(folder / "FixQRV" / "uploads.csv"), "h\r\na\r\nb\r\n");

    SetEnvironmentVariableW(L"FIXQRV_LOG", (folder / "a folder").wstring().c_str());
    ASSERT_TRUE(uploadLogChooseFile());
    uploadLogAppendRow("h\r\n", "c\r\n");
    EXPECT_TRUE(fs::is_empty(folder / "a folder"));

    SetEnvironmentVariableW(L"FIXQRV_LOG", L"Off");
    EXPECT_FALSE(uploadLogChooseFile());

    SetEnvironmentVariableW(L"FIXQRV_LOG", nullptr);
    SetEnvironmentVariableW(L"LOCALAPPDATA", localAppData.empty() ? nullptr : localAppData.c_str());
    fs::remove_all(folder);
}

}  // namespace
