#include "tools/controller-sim/session.h"

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include "tools/controller-sim/controller.h"
#include "tools/controller-sim/process.h"
#include "tools/controller-sim/pty_port.h"

namespace sim {

namespace {

// How long to leave the master alone when no slave is open (EIO on read).
constexpr Micros kNoPeerPause = 50000;

class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() {
        if (fd_ >= 0) close(fd_);
    }

    bool open(const std::string& path) {
        if (path.empty()) return true;
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        return fd_ >= 0;
    }

    void write(std::string_view bytes) {
        while (fd_ >= 0 && !bytes.empty()) {
            const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
    }

private:
    int fd_ = -1;
};

class Session {
public:
    Session(const SimOptions& options, PtyPort& port, int signalFd)
        : options_(options), port_(port), signalFd_(signalFd), controller_(options.behaviour) {}

    bool openFiles(std::string& error);
    void start(pid_t child) { child_ = child; }
    int run();

private:
    Micros now() const;
    void pump(Micros now);
    void housekeeping();
    std::optional<int> exitCode();
    void wait(Micros now);
    // How long to wait, in microseconds; -1 for as long as it takes.
    Micros pollTimeout(Micros now) const;
    void readMaster(Micros now);
    void lostPeer(Micros now);
    void writeJournal();

    const SimOptions& options_;
    PtyPort& port_;
    const int signalFd_;
    Controller controller_;
    OutputFile log_;
    OutputFile received_;
    pid_t child_ = -1;
    std::string pending_;  // output the master has not taken yet
    Micros quietUntil_ = 0;
    bool peerGone_ = false;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

bool Session::openFiles(std::string& error) {
    for (auto [file, path] : {std::pair{&log_, &options_.logPath},
                              std::pair{&received_, &options_.receivedPath}}) {
        if (!file->open(*path)) {
            error = *path + ": " + std::strerror(errno);
            return false;
        }
    }
    log_.write(formatEntry({0, "port", port_.path}) + "\n");
    return true;
}

int Session::run() {
    for (;;) {
        const Micros t = now();
        pump(t);
        housekeeping();
        writeJournal();
        if (const auto code = exitCode()) {
            controller_.noteUnfinishedInput(now());
            writeJournal();
            return *code;
        }
        wait(t);
    }
}

Micros Session::now() const {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now() - start_).count();
}

void Session::pump(Micros now) {
    pending_ += controller_.takeOutput(now);
    if (port_.master < 0 || peerGone_) pending_.clear();
    if (pending_.empty()) return;
    const ssize_t n = write(port_.master, pending_.data(), pending_.size());
    if (n > 0) {
        pending_.erase(0, static_cast<std::size_t>(n));
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        pending_.clear();  // nobody on the line: what was said is lost
    }
}

void Session::housekeeping() {
    if (controller_.lineDropped() && port_.master >= 0) hangUp(port_);
    if (options_.exitAfterUpload && port_.spare >= 0 && pending_.empty() &&
        controller_.uploadFinished()) {
        releaseSpare(port_);  // from now on the master hears FixQRV close the port
    }
}

std::optional<int> Session::exitCode() {
    if (child_ > 0) return reapChild(child_);
    if (stopRequested() || port_.master < 0 || peerGone_) return 0;
    return std::nullopt;
}

void Session::wait(Micros now) {
    pollfd fds[2] = {{signalFd_, POLLIN, 0}, {-1, 0, 0}};
    if (port_.master >= 0 && !peerGone_ && now >= quietUntil_) {
        fds[1].fd = port_.master;
        fds[1].events = static_cast<short>((controller_.acceptsInput() ? POLLIN : 0) |
                                           (pending_.empty() ? 0 : POLLOUT));
    }
    // To the microsecond: a wait rounded up to whole milliseconds would put
    // a millisecond into every echo that the line model does not have.
    const Micros timeout = pollTimeout(now);
    const timespec span{static_cast<time_t>(timeout / 1000000), static_cast<long>(timeout % 1000000) * 1000};
    if (ppoll(fds, 2, timeout < 0 ? nullptr : &span, nullptr) <= 0) return;
    if (fds[0].revents != 0) drainSignalPipe(signalFd_);
    const short seen = fds[1].revents;
    if (seen & POLLIN) {
        readMaster(this->now());
    } else if (seen & (POLLHUP | POLLERR)) {
        lostPeer(this->now());
    }
}

Micros Session::pollTimeout(Micros now) const {
    std::optional<Micros> due = controller_.nextDue();
    if (now < quietUntil_ && (!due || quietUntil_ < *due)) due = quietUntil_;
    if (!due) return -1;
    return std::clamp<Micros>(*due - now, 0, 60000000);
}

void Session::readMaster(Micros now) {
    char buffer[16];
    const ssize_t n = read(port_.master, buffer, sizeof buffer);
    if (n > 0) {
        controller_.noteLineRate(portRate(port_), now);
        controller_.receive(std::string_view(buffer, static_cast<std::size_t>(n)), now);
    } else if (n == 0 || errno == EIO) {
        lostPeer(now);
    }
}

// EIO on the master means no slave is open. While we hold our own slave
// that cannot last; once we have let it go, it means FixQRV closed the port.
void Session::lostPeer(Micros now) {
    if (port_.spare < 0) {
        peerGone_ = true;
    } else {
        quietUntil_ = now + kNoPeerPause;
    }
}

void Session::writeJournal() {
    for (const JournalEntry& entry : controller_.takeJournal()) {
        log_.write(formatEntry(entry) + "\n");
        if (entry.tag == "program") received_.write(entry.text + "\r\n");
    }
}

}  // namespace

int serve(const SimOptions& options) {
    PtyPort port;
    std::string error = openPtyPort(port);
    Session session(options, port, installSignalPipe());
    if (error.empty()) session.openFiles(error);
    if (!error.empty()) {
        std::fprintf(stderr, "fixqrv-sim: %s\n", error.c_str());
        return 1;
    }
    if (options.printPath) {
        std::printf("%s\n", port.path.c_str());
        std::fflush(stdout);
    }
    if (!options.command.empty()) {
        const pid_t child = startCommand(options.command, options.port, port.path);
        if (child < 0) {
            std::fprintf(stderr, "fixqrv-sim: fork: %s\n", std::strerror(errno));
            return 1;
        }
        session.start(child);
    }
    return session.run();
}

}  // namespace sim
