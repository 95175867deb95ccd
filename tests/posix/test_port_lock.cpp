// UUCP lock files as FixQRV meets them in the shared lock folder, where
// other users and other programs write too; here in a folder of the test's own.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/serial/port_claim_posix.h"

namespace {

namespace fs = std::filesystem;

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string pidText(long pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10ld\n", pid);
    return text;
}

// A PID whose process has ended.
pid_t goneProcess() {
    const pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

int exitCodeOf(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class PortLock : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/fixqrv-locks-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        folder = name;
        lock = folder + "/LCK..ttyUSB9";
    }
    void TearDown() override { fs::remove_all(folder); }
    int take() {
        std::string taken;
        const int result = takePortLockIn(folder, device, taken);
        if (result == 0) {
            EXPECT_EQ(taken, lock);
        }
        return result;
    }
    std::size_t filesInFolder() {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
    }

    const std::string device = "/dev/ttyUSB9";
    std::string folder;
    std::string lock;
};

TEST_F(PortLock, FilesPlantedInTheFolderNeverBecomeOurLock) {
    // What another user could have put where a predictable temporary name was.
    const std::string victim = folder + "/victim";
    writeFile(victim, "precious");
    ASSERT_EQ(symlink(victim.c_str(), (folder + "/LTMP." + std::to_string(getpid())).c_str()), 0);
    writeFile(folder + "/LTMP." + std::to_string(getpid() + 1), "someone's");

    ASSERT_EQ(take(), 0);
    EXPECT_EQ(fileText(victim), "precious");
    struct stat info {};
    ASSERT_EQ(lstat(lock.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_uid, geteuid());
    EXPECT_EQ(info.st_mode & 0777, 0644u);  // others can read who holds the port
    EXPECT_EQ(fileText(lock), pidText(getpid()));
    EXPECT_EQ(filesInFolder(), 4u) << "a temporary file was left behind";
    releasePortLock(lock);
    EXPECT_FALSE(fs::exists(lock));
}

TEST_F(PortLock, ALockNamingNoPidKeepsThePortUnlessOneComesSoon) {
    for (const std::string text : {"", "garbage\n", "         0\n", "  -42\n"}) {
        writeFile(lock, text);
        EXPECT_EQ(take(), 69) << "lock text '" << text << "'";
        EXPECT_EQ(fileText(lock), text);
    }
    EXPECT_EQ(parseLockOwner("      1234\n", 11), 1234);
    EXPECT_EQ(parseLockOwner("1234 minicom\n", 13), 1234);

    // Created first, its PID written a moment later: read again before
    // deciding, and this owner is gone.
    writeFile(lock, "");
    const pid_t gone = goneProcess();
    std::thread owner([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        writeFile(lock, pidText(gone));
    });
    EXPECT_EQ(take(), 0);
    owner.join();
    EXPECT_EQ(fileText(lock), pidText(getpid()));
}

// Two programs find the same stale lock at once: one gets the port, the
// other is refused, and nobody removes the lock the winner has just taken.
TEST_F(PortLock, AStaleLockRacedForIsTakenByOneOnly) {
    const pid_t gone = goneProcess();
    for (int round = 0; round < 80; ++round) {
        writeFile(lock, pidText(gone));
        int start[2];
        ASSERT_EQ(pipe(start), 0);
        pid_t racers[2];
        for (pid_t& racer : racers) {
            racer = fork();
            if (racer == 0) {
                close(start[1]);
                char go = 0;
                if (read(start[0], &go, 1) < 0) _exit(3);
                std::string taken;
                if (takePortLockIn(folder, device, taken) != 0) _exit(1);
                usleep(20000);  // long enough for the other to do harm
                _exit(fileText(lock) == pidText(getpid()) ? 0 : 2);
            }
        }
        close(start[0]);
        close(start[1]);
        const int first = exitCodeOf(racers[0]);
        const int second = exitCodeOf(racers[1]);
        ASSERT_EQ(first + second, 1) << "round " << round << ": exit codes " << first << " and " << second;
        fs::remove(lock);
    }
}

TEST_F(PortLock, ALockThatCannotBeWrittenIsReported) {
    const pid_t child = fork();
    if (child == 0) {
        // A full disk, as far as this process can tell.
        signal(SIGXFSZ, SIG_IGN);
        const rlimit none{0, 0};
        setrlimit(RLIMIT_FSIZE, &none);
        std::string taken;
        _exit(takePortLockIn(folder, device, taken));
    }
    EXPECT_EQ(exitCodeOf(child), 69);
    EXPECT_EQ(filesInFolder(), 0u) << "a lock or a temporary file was left behind";
}

}  // namespace
