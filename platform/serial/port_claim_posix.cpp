// UUCP lock files and the search for other processes holding a device.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "platform/serial/port_claim_posix.h"

namespace {

const char* const lockFolders[] = {"/run/lock", "/var/lock"};
std::set<std::string> heldHere;  // locks this process holds for an open port

std::string lockFolder() {
    for (const char* folder : lockFolders) {
        struct stat info {};
        if (stat(folder, &info) == 0 && S_ISDIR(info.st_mode) && access(folder, W_OK) == 0) return folder;
    }
    return {};
}

// The PID in a lock file: ten ASCII digits as written today, or the four
// binary bytes of old UUCP versions. 0 when there is none.
long lockOwner(const std::string& path) {
    char text[32] = {};
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return 0;
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    return n > 0 ? parseLockOwner(text, static_cast<std::size_t>(n)) : 0;
}

bool processAlive(long pid) { return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

// Writes our PID to a private file, then links it to the lock's name, so
// nobody ever reads a half-written lock.
int linkLock(const std::string& folder, const std::string& lockPath) {
    const std::string temporary = folder + "/LTMP." + std::to_string(getpid());
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return errno;
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(getpid()));
    const bool written = write(fd, text, static_cast<std::size_t>(length)) == length;
    close(fd);
    const int error = !written ? EIO : link(temporary.c_str(), lockPath.c_str()) == 0 ? 0 : errno;
    unlink(temporary.c_str());
    return error;
}

}  // namespace

int takePortLock(const std::string& devicePath, std::string& lockPath) {
    lockPath.clear();
    const std::string folder = lockFolder();
    if (folder.empty()) return 0;
    const std::string name = devicePath.substr(devicePath.rfind('/') + 1);
    const std::string path = folder + "/LCK.." + name;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int error = linkLock(folder, path);
        if (error == 0) {
            lockPath = path;
            heldHere.insert(path);
            return 0;
        }
        if (error != EEXIST) return 0;  // folder not usable after all: go on without
        const long owner = lockOwner(path);
        // Our PID on a lock we do not hold: left by an earlier process that
        // had the same PID.
        if (owner == getpid() ? heldHere.contains(path) : processAlive(owner)) return 69;
        unlink(path.c_str());  // stale: its process is gone
    }
    return 69;  // someone else took it in between
}

void releasePortLock(const std::string& lockPath) {
    if (lockPath.empty()) return;
    heldHere.erase(lockPath);
    if (lockOwner(lockPath) == getpid()) unlink(lockPath.c_str());
}

#ifdef __linux__

namespace {

const dev_t ptyMultiplexer = makedev(5, 2);

bool isPtySlave(dev_t device) { return major(device) >= 136 && major(device) <= 143; }

unsigned ptyIndex(dev_t device) { return (major(device) - 136) * 256 + minor(device); }

// Whether a /dev/ptmx descriptor is the master of pseudo-terminal index.
bool isMasterOf(const std::string& fdinfo, unsigned index) {
    char text[512] = {};
    const int fd = open(fdinfo.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    const char* field = n > 0 ? std::strstr(text, "tty-index:") : nullptr;
    return field && std::strtoul(field + 10, nullptr, 10) == index;
}

// What one process holds: the device itself, and whether it is the far end.
void scanProcess(const std::string& process, dev_t device, bool& holds, bool& farEnd) {
    DIR* fds = opendir((process + "/fd").c_str());
    if (!fds) return;  // gone meanwhile, or not ours to look at
    while (const dirent* entry = readdir(fds)) {
        if (entry->d_name[0] == '.') continue;
        const std::string link = process + "/fd/" + entry->d_name;
        char target[64] = {};
        // Only device nodes are looked at: a stat of any other target could
        // wait on a slow file system.
        if (readlink(link.c_str(), target, sizeof target - 1) < 5 || std::strncmp(target, "/dev/", 5) != 0)
            continue;
        struct stat info {};
        if (stat(link.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) continue;
        if (info.st_rdev == device) holds = true;
        if (info.st_rdev == ptyMultiplexer && isPtySlave(device) &&
            isMasterOf(process + "/fdinfo/" + entry->d_name, ptyIndex(device)))
            farEnd = true;
    }
    closedir(fds);
}

}  // namespace

bool deviceOpenElsewhere(int fd) {
    struct stat own {};
    if (fstat(fd, &own) != 0) return false;
    DIR* proc = opendir("/proc");
    if (!proc) return false;
    const std::string self = std::to_string(getpid());
    bool found = false;
    while (const dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9' || self == entry->d_name) continue;
        bool holds = false, farEnd = false;
        scanProcess(std::string("/proc/") + entry->d_name, own.st_rdev, holds, farEnd);
        if (holds && !farEnd) {
            found = true;
            break;
        }
    }
    closedir(proc);
    return found;
}

#else

bool deviceOpenElsewhere(int) { return false; }

#endif
