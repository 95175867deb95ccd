#include "tools/controller-sim/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

volatile sig_atomic_t stopFlag = 0;
volatile sig_atomic_t childPid = 0;
int pipeWrite = -1;

void onSignal(int signo) {
    const int saved = errno;
    if (signo != SIGCHLD) {
        if (childPid > 0) {
            kill(static_cast<pid_t>(childPid), signo);
        } else {
            stopFlag = 1;
        }
    }
    const char mark = 1;
    [[maybe_unused]] const ssize_t ignored = write(pipeWrite, &mark, 1);
    errno = saved;
}

void handle(int signo, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signo, &action, nullptr);
}

}  // namespace

int installSignalPipe() {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    for (int fd : fds) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    pipeWrite = fds[1];
    for (int signo : {SIGCHLD, SIGTERM, SIGHUP, SIGINT, SIGQUIT}) handle(signo, onSignal);
    handle(SIGPIPE, SIG_IGN);
    return fds[0];
}

void drainSignalPipe(int fd) {
    char buffer[64];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
}

bool stopRequested() { return stopFlag != 0; }

pid_t startCommand(const std::vector<std::string>& command, int port, const std::string& path) {
    const std::string variable = "FIXQRV_COM" + std::to_string(port);
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    handle(SIGINT, SIG_IGN);
    handle(SIGQUIT, SIG_IGN);
    const pid_t pid = fork();
    if (pid == 0) {
        for (int signo : {SIGINT, SIGQUIT, SIGPIPE}) handle(signo, SIG_DFL);
        setenv(variable.c_str(), path.c_str(), 1);
        execvp(argv[0], argv.data());
        std::fprintf(stderr, "fixqrv-sim: %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    if (pid > 0) childPid = pid;
    return pid;
}

std::optional<int> reapChild(pid_t child) {
    int status = 0;
    if (child <= 0 || waitpid(child, &status, WNOHANG) != child) return std::nullopt;
    childPid = 0;
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

}  // namespace sim
