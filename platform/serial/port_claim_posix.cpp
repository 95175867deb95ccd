// UUCP lock files and the search for other processes holding a device.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <signal.h>
#include <time.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>
#include <string>

#include "platform/serial/port_claim_posix.h"

namespace {

const char* const lockFolders[] = {"/run/lock", "/var/lock"};
std::set<std::string> heldHere;  // locks this process holds for an open port

// Other programs create a lock file and write their PID into it after:
// one found without a PID is read again this often, this far apart, before
// it counts as held by an owner nobody can name.
constexpr int ownerRereads = 2;
constexpr long ownerRereadNanoseconds = 100'000'000;

std::string lockFolder() {
    for (const char* folder : lockFolders) {
        struct stat info {};
        if (stat(folder, &info) == 0 && S_ISDIR(info.st_mode) && access(folder, W_OK) == 0) return folder;
    }
    return {};
}

long ownerIn(int fd) {
    char text[64];
    const ssize_t n = pread(fd, text, sizeof text, 0);
    return n > 0 ? parseLockOwner(text, static_cast<std::size_t>(n)) : 0;
}

// No lock (any more) where one was looked for.
constexpr long noLock = -2;

// The owner a lock names, as parseLockOwner tells it; a lock that cannot
// be read names none.
long lockOwner(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT ? noLock : 0;
    const long owner = ownerIn(fd);
    close(fd);
    return owner;
}

long settledOwner(const std::string& path) {
    long owner = lockOwner(path);
    for (int i = 0; i < ownerRereads && owner == 0; ++i) {
        const timespec pause{0, ownerRereadNanoseconds};
        nanosleep(&pause, nullptr);
        owner = lockOwner(path);
    }
    return owner;
}

bool processAlive(long pid) { return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

// Whether the owner a lock names still has the port. Our own PID on a lock
// we do not hold was left by an earlier process that had the same PID.
bool ownerHoldsPort(long owner, const std::string& path) {
    return owner == getpid() ? heldHere.contains(path) : processAlive(owner);
}

// Removes a lock found stale, but never one that replaced it meanwhile:
// whoever removes a stale lock holds an flock on it, and removes it only
// while its name still leads to it and it still names a gone owner. Another
// remover that read the same stale lock then finds a new file or none.
void removeStaleLock(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return;
    struct stat opened {}, named {};
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &opened) == 0 && lstat(path.c_str(), &named) == 0 &&
        opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) {
        const long owner = ownerIn(fd);
        if (owner != 0 && !ownerHoldsPort(owner, path)) unlink(path.c_str());
    }
    close(fd);
}

// Writes our PID to a file of a name nobody can know in advance, created
// exclusively, then links it to the lock's name: nobody ever reads a
// half-written lock, and no file planted in the shared folder becomes ours.
int linkLock(const std::string& folder, const std::string& lockPath) {
    std::string temporary = folder + "/LTMP.XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return errno;
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(getpid()));
    const bool written = fchmod(fd, 0644) == 0 && write(fd, text, static_cast<std::size_t>(length)) == length;
    const bool closed = close(fd) == 0;
    const int error = !written || !closed ? EIO : link(temporary.c_str(), lockPath.c_str()) == 0 ? 0 : errno;
    unlink(temporary.c_str());
    return error;
}

}  // namespace

int takePortLockIn(const std::string& folder, const std::string& devicePath, std::string& lockPath) {
    lockPath.clear();
    const std::string path = folder + "/LCK.." + devicePath.substr(devicePath.rfind('/') + 1);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int error = linkLock(folder, path);
        if (error == 0) {
            lockPath = path;
            heldHere.insert(path);
            return 0;
        }
        if (error != EEXIST) return 69;  // a folder we may write to, and no lock: report it
        const long owner = settledOwner(path);
        if (owner == noLock) continue;  // removed meanwhile
        if (owner == 0 || ownerHoldsPort(owner, path)) return 69;
        removeStaleLock(path);
    }
    return 69;  // someone else took it in between
}

int takePortLock(const std::string& devicePath, std::string& lockPath) {
    lockPath.clear();
    const std::string folder = lockFolder();
    return folder.empty() ? 0 : takePortLockIn(folder, devicePath, lockPath);
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
