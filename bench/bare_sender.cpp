// The upload protocol and nothing else, for bench_upload_cost --bare: what
// any sender of it costs on this machine, as a floor for FixQRV's figures.
// Same port mechanics as FixQRV (one character per write, one epoll check
// of keyboard and port before each, the first echo awaited before the
// second character, the port left out of the waits while the echo's rest is
// on its way at the line rate, then watched up to its LF), but
// no screen, no comparison, no error handling, no dialogue beyond the rate
// switch.
//
//   bench_bare_sender N      port N from FIXQRV_COM<N>, QRV1.BAS from here
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace {

int port = -1;
int checks = -1;
termios rawModes{};
std::string received;
constexpr double characterSeconds = 10.0 / 19200;

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void setModes(speed_t speed) {
    tcgetattr(port, &rawModes);
    cfmakeraw(&rawModes);
    rawModes.c_cc[VMIN] = 1;
    rawModes.c_cc[VTIME] = 0;
    cfsetispeed(&rawModes, speed);
    cfsetospeed(&rawModes, speed);
    tcsetattr(port, TCSANOW, &rawModes);
}

void send(char c) {
    while (write(port, &c, 1) != 1) {
    }
}

bool readSome() {
    char buffer[4096];
    const ssize_t n = read(port, buffer, sizeof buffer);
    if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
    return n > 0;
}

void waitForPort() {
    pollfd p{port, POLLIN, 0};
    poll(&p, 1, 1000);
    readSome();
}

// Reads until `text` has come, then forgets what came.
void expect(const std::string& text) {
    while (received.find(text) == std::string::npos) waitForPort();
    received.clear();
}

void sendLine(const std::string& line) {
    const std::string command = line + '\r';
    std::size_t echoed = received.size();  // a prompt left waiting counts
    double firstWriteAt = 0;
    for (std::size_t next = 0; next < command.size();) {
        epoll_event events[2];
        if (epoll_wait(checks, events, 2, 0) > 0 && readSome()) {
            echoed = received.size();
            continue;
        }
        if (next > 0 && echoed == 0) {
            waitForPort();
            echoed = received.size();
            continue;
        }
        if (next == 0) firstWriteAt = now();
        send(command[next++]);
    }
    received.clear();
    // The CR's echo cannot come before everything written has crossed the line.
    const double quietFor = firstWriteAt + static_cast<double>(command.size() - 1) * characterSeconds - now();
    if (quietFor > 0) {
        const timespec span{0, static_cast<long>(quietFor * 1e9)};
        ppoll(nullptr, 0, &span, nullptr);
    }
    while (received.find('\n') == std::string::npos) waitForPort();
    received.erase(0, received.find('\n') + 1);
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = argc > 1 ? std::getenv(("FIXQRV_COM" + std::string(argv[1])).c_str()) : nullptr;
    if (!path || (port = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK)) < 0) return 1;
    std::ifstream in("QRV1.BAS", std::ios::binary);
    const std::string program((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    setModes(B9600);
    checks = epoll_create1(0);
    for (const int fd : {0, port}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        epoll_ctl(checks, EPOLL_CTL_ADD, fd, &event);
    }
    for (const char c : std::string("TIMER1=65524\r")) send(c);
    usleep(500000);
    setModes(B19200);
    usleep(500000);
    readSome();
    received.clear();
    for (std::size_t at = 0; at < program.size();) {
        std::size_t end = program.find('\r', at);
        if (end == std::string::npos) end = program.size();
        sendLine(program.substr(at, end - at));
        at = end + (program.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
    sendLine("RUN");
    expect("LOGGING STARTED");
    sendLine("M");
    expect("SELECT: ");
    sendLine("10");
    expect("RESUMED");
    close(port);
    return 0;
}
