// The signals that end the process when nobody handles them, and the one
// handler that puts things back first (POSIX targets only). SIGKILL and
// SIGSTOP cannot be caught; SIGPIPE is ignored instead, so that a vanished
// terminal makes writes fail rather than end the run.
//
// What must be put back (the terminal, the serial port and its lock, the
// upload log's row) is registered as an action; on such a signal the
// handler runs every action, newest first, then lets the signal end the
// process as it would have. One handler, not a chain of them: parts that
// come and go (a port closed and opened again) cannot make a chain loop or
// drop a link. A signal ignored when the first action comes stays ignored.
// Header only, since each seam library that needs it is linked on its own.
#pragma once

#include <signal.h>

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

// Async-signal-safe calls only, and nothing that raises a signal.
using FatalAction = void (*)(int signalNumber);

namespace fatal_signals_detail {

inline constexpr int capacity = 8;
inline FatalAction actions[capacity] = {};
inline volatile sig_atomic_t count = 0;
inline bool installed = false;

inline void onFatalSignal(int signalNumber) {
    for (int i = count - 1; i >= 0; --i)
        if (actions[i] != nullptr) actions[i](signalNumber);
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);  // held until the handler returns, then as it would have
}

// The fatal signals another process can send: a fault signal blocked while
// it is raised by a fault kills at once.
inline sigset_t asynchronousSet() {
    sigset_t set;
    sigemptyset(&set);
    forEachFatalSignal([&](int s) {
        if (s != SIGSEGV && s != SIGBUS && s != SIGFPE && s != SIGILL && s != SIGTRAP && s != SIGSYS)
            sigaddset(&set, s);
    });
    return set;
}

inline void install() {
    struct sigaction ours {};
    ours.sa_handler = onFatalSignal;
    ours.sa_mask = asynchronousSet();  // one at a time
    forEachFatalSignal([&](int s) {
        struct sigaction current {};
        if (sigaction(s, nullptr, &current) != 0) return;
        if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_IGN) return;
        sigaction(s, &ours, nullptr);
    });
    installed = true;
}

}  // namespace fatal_signals_detail

// Blocks the fatal signals another process can send, until
// unblockFatalSignals: one that comes meanwhile waits.
inline sigset_t blockFatalSignals() {
    const sigset_t blocked = fatal_signals_detail::asynchronousSet();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &blocked, &previous);
    return previous;
}
inline void unblockFatalSignals(const sigset_t& previous) { sigprocmask(SIG_SETMASK, &previous, nullptr); }

// Removes the action if it is there.
inline void removeFatalAction(FatalAction action) {
    namespace d = fatal_signals_detail;
    const sigset_t previous = blockFatalSignals();
    int kept = 0;
    for (int i = 0; i < d::count; ++i)
        if (d::actions[i] != action) d::actions[kept++] = d::actions[i];
    for (int i = kept; i < d::count; ++i) d::actions[i] = nullptr;
    d::count = kept;
    unblockFatalSignals(previous);
}

// Adds the action (again: as the newest), the handler with the first one.
inline void addFatalAction(FatalAction action) {
    namespace d = fatal_signals_detail;
    removeFatalAction(action);
    const sigset_t previous = blockFatalSignals();
    if (!d::installed) d::install();
    if (d::count < d::capacity) {
        d::actions[d::count] = action;
        d::count = d::count + 1;
    }
    unblockFatalSignals(previous);
}
