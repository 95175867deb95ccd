// The signals that end the process when nobody handles them, for the
// handlers that put the terminal and the port back first (POSIX targets
// only). SIGKILL and SIGSTOP cannot be caught; SIGPIPE is ignored instead,
// so that a vanished terminal makes writes fail rather than end the run.
#pragma once

#include <csignal>

inline constexpr int fatalSignalsFixed[] = {
    SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,  SIGUSR1, SIGSEGV,
    SIGUSR2, SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGPOLL
    SIGPOLL,
#endif
};

// Calls f for each of them, the real-time signals included.
template <typename F>
void forEachFatalSignal(F f) {
    for (const int s : fatalSignalsFixed) f(s);
#ifdef SIGRTMIN
    for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) f(s);
#endif
}
