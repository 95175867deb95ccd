// Text files over real files in a fresh temporary directory per test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <vector>

#include "platform/files/file_seam.h"
#include "platform/files/files.h"
#include "runtime/errors.h"

namespace {

// The run-time error number the action raises, 0 when it raises none.
int errorOf(const std::function<void()>& action) {
    try { action(); } catch (const ErrorJump& jump) { return jump.number; }
    return 0;
}

// Reads the way the upload does: test for the end, then read a line.
std::vector<Text> readAll(int fileNumber) {
    std::vector<Text> lines;
    while (!atEndOfFile(fileNumber)) lines.push_back(readTextLine(fileNumber));
    return lines;
}

class FilesTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/fixqrv-files-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        resetErrorState();
        installHandler(Handler::fileRead);
    }
    void TearDown() override {
        resetErrorState();
        closeAllFiles();
        std::filesystem::remove_all(dir);
    }
    Text path(const Text& name) const { return dir + "/" + name; }
    Text put(const Text& name, const Text& bytes) const {
        std::ofstream(path(name), std::ios::binary) << bytes;
        return path(name);
    }
    Text contents(const Text& name) const {
        std::ifstream in(path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    Text dir;
};

TEST_F(FilesTest, ReadsLinesByTheLineEndRules) {
    const Text longLine(300, 'x');
    const Text fullBuffer(128, 'b');
    const Text beforeSplit(127, 'a');  // its CR is byte 128, the LF byte 129
    const Text data("A\nB\0\tC", 6);
    const struct { const char* what; Text bytes; std::vector<Text> lines; } cases[] = {
        {"CR LF at the end", "A\r\nB\r\n", {"A", "B"}},
        {"Ctrl-Z after the last line", "A\r\nB\r\n\x1a" "C\r\n", {"A", "B"}},
        {"Ctrl-Z inside a line", "AB\x1a" "CD\r\n", {"AB"}},
        {"last line without CR", "A\r\nlast", {"A", "last"}},
        {"CR CR LF", "A\r\r\nB", {"A", "", "B"}},
        {"CR alone", "A\rB\r", {"A", "B"}},
        {"lone LF and control bytes are data", data, {data}},
        {"only a line end", "\r\n", {""}},
        {"empty file", "", {}},
        {"line longer than the buffer", longLine + "\r\nX", {longLine, "X"}},
        {"CR LF split across buffers", beforeSplit + "\r\nB", {beforeSplit, "B"}},
        {"CR ends a buffer, no LF after", beforeSplit + "\rB", {beforeSplit, "B"}},
        {"Ctrl-Z starts a buffer", fullBuffer + "\x1a", {fullBuffer}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        openTextFile(put("in.txt", c.bytes), 3);
        EXPECT_EQ(fileSize(3), static_cast<std::int64_t>(c.bytes.size()));
        EXPECT_EQ(readAll(3), c.lines);
        // Neither the end nor a Ctrl-Z is ever consumed.
        EXPECT_EQ(errorOf([] { readTextLine(3); }), 62);
        EXPECT_EQ(errorOf([] { readTextLine(3); }), 62);
        closeFile(3);
        // The upload log counts the lines the upload would send.
        EXPECT_EQ(countTextLines(path("in.txt")), static_cast<std::int64_t>(c.lines.size()));
    }
}

TEST_F(FilesTest, WithoutHandlerFailuresGiveNeutralResults) {
    installHandler(Handler::none);
    openTextFile(put("in.txt", "A"), 3);
    EXPECT_EQ(readTextLine(3), "A");
    EXPECT_EQ(readTextLine(3), "");
    EXPECT_EQ(lastErrorNumber(), 62);
    EXPECT_TRUE(atEndOfFile(7));  // not open: a read loop still ends
    EXPECT_EQ(lastErrorNumber(), 52);
    EXPECT_EQ(fileSize(7), 0);
    openTextFile(path("missing.txt"), 4);
    EXPECT_EQ(lastErrorNumber(), 53);
    EXPECT_FALSE(fileNumberInUse(4));
}

TEST_F(FilesTest, OpeningReportsWhyItFailedAndLeavesTheNumberFree) {
    put("a.txt", "A");
    const Text withNul = path("a.txt") + Text(1, '\0') + "x";  // would open a.txt if cut
    const struct { const char* what; bool create; Text name; int number; } cases[] = {
        {"missing file", false, path("none.txt"), 53},
        {"missing directory", false, path("none/a.txt"), 76},
        {"file as directory", false, path("a.txt/b"), 76},
        {"directory", false, dir, 70},
        {"empty name", false, "", 64},
        {"wildcard *", false, path("*.txt"), 64},
        {"wildcard ?", true, path("a.tx?"), 64},
        {"NUL in the name", false, withNul, 64},
        {"longer than 255", false, path(Text(300, 'n')), 64},
        {"number out of range", false, path("a.txt"), 52},
        {"create in missing directory", true, path("none/a.txt"), 76},
        {"create over a directory", true, dir, 70},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int number = c.number == 52 ? -1 : 3;
        EXPECT_EQ(errorOf([&] { c.create ? createTextFile(c.name, number)
                                         : openTextFile(c.name, number); }),
                  c.number);
        EXPECT_FALSE(fileNumberInUse(number));
    }
    const Text longest = path(Text(255 - dir.size() - 1, 'n'));
    put(longest.substr(dir.size() + 1), "L");
    openTextFile(longest, 3);
    EXPECT_EQ(readTextLine(3), "L");
}

TEST_F(FilesTest, FileHeldByAnotherOpenerIsRefusedAndKeepsItsContent) {
    const Text name = put("COMMPORT.NUM", "7\r\n");
    const int other = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(errorOf([&] { openTextFile(name, 1); }), 70);
    EXPECT_EQ(errorOf([&] { createTextFile(name, 1); }), 70);
    EXPECT_EQ(contents("COMMPORT.NUM"), "7\r\n");  // the refused create cut nothing
    ::close(other);
    openTextFile(name, 1);
    EXPECT_EQ(errorOf([&] { openTextFile(name, 2); }), 70);
    closeFile(1);
    EXPECT_EQ(errorOf([&] { openTextFile(name, 2); }), 0);  // closing released it
}

TEST_F(FilesTest, CreatedFileHoldsExactlyTheLinesWritten) {
    put("COMMPORT.NUM", "a much longer earlier content\r\n");
    createTextFile(path("COMMPORT.NUM"), 1);
    writeTextLine(1, "12");
    writeTextLine(1, "");
    EXPECT_EQ(contents("COMMPORT.NUM"), "12\r\n\r\n");  // on disk before closing
    EXPECT_EQ(fileSize(1), 6);
    EXPECT_FALSE(atEndOfFile(1));
    // flock is advisory: whatever was added behind our back is cut at close.
    std::ofstream(path("COMMPORT.NUM"), std::ios::app) << "stray";
    closeFile(1);
    EXPECT_EQ(contents("COMMPORT.NUM"), "12\r\n\r\n");
}

TEST_F(FilesTest, OperationsCheckNumberAndMode) {
    openTextFile(put("in.txt", "A"), 1);
    createTextFile(path("out.txt"), 2);
    EXPECT_EQ(errorOf([&] { createTextFile(path("new.txt"), 1); }), 55);
    EXPECT_FALSE(std::filesystem::exists(path("new.txt")));
    EXPECT_EQ(errorOf([] { writeTextLine(1, "x"); }), 54);
    EXPECT_EQ(errorOf([] { readTextLine(2); }), 54);
    EXPECT_EQ(errorOf([] { readTextLine(5); }), 52);
    EXPECT_EQ(errorOf([] { writeTextLine(5, "x"); }), 52);
    EXPECT_EQ(errorOf([] { fileSize(5); }), 52);
    EXPECT_EQ(errorOf([] { atEndOfFile(5); }), 52);
    EXPECT_EQ(readTextLine(1), "A");  // the refused operations left it as it was
    closeFile(1);
    EXPECT_EQ(errorOf([] { closeFile(1); }), 0);
    EXPECT_FALSE(fileNumberInUse(1));
}

TEST_F(FilesTest, FailedWriteToADeviceIsADeviceError) {
    createTextFile("/dev/full", 1);
    EXPECT_EQ(fileSize(1), 0);
    EXPECT_EQ(errorOf([] { writeTextLine(1, "x"); }), 57);
    EXPECT_EQ(errorOf([] { closeFile(1); }), 0);  // a device is not cut
}

TEST(FileErrorNumbers, NativeFailuresMapToRunTimeErrors) {
    const int table[][2] = {
        {ENOENT, 53}, {ENOTDIR, 76}, {EACCES, 70}, {EPERM, 70}, {EROFS, 70}, {EWOULDBLOCK, 70},
        {ETXTBSY, 70}, {EISDIR, 70}, {ENOSPC, 61}, {EDQUOT, 61}, {EMFILE, 67}, {ENFILE, 67},
        {ENOMEM, 7}, {ENXIO, 68}, {ENODEV, 68}, {EIO, 72}, {EXDEV, 74}, {EINVAL, 5},
        {ENAMETOOLONG, 64}, {EBADF, 51}, {EFAULT, 241}, {ELOOP, 75}, {0, 75}};
    for (const auto& [code, number] : table)
        EXPECT_EQ(fileErrorNumberFromNative(code), number) << "errno " << code;
}

}  // namespace
