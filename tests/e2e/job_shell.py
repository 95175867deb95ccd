"""Runs a command as a shell runs a job: the pseudo-terminal on standard
input becomes this session's controlling terminal and the command gets a
process group of its own in its foreground. A stop signal then really stops
the command (its group has a parent in the same session, so it is not
orphaned), and a resize of the terminal sends it SIGWINCH. Exits as the
command does."""

import fcntl
import os
import signal
import sys
import termios


def main(command):
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)
    child = os.fork()
    if child == 0:
        os.setpgid(0, 0)
        # Taking the foreground from the background raises SIGTTOU.
        signal.signal(signal.SIGTTOU, signal.SIG_IGN)
        os.tcsetpgrp(0, os.getpgrp())
        for s in (signal.SIGTTOU, signal.SIGPIPE, signal.SIGXFSZ, signal.SIGINT):
            signal.signal(s, signal.SIG_DFL)
        os.execvp(command[0], command)
    _, status = os.waitpid(child, 0)
    if os.WIFSIGNALED(status):
        signal.signal(os.WTERMSIG(status), signal.SIG_DFL)
        os.kill(os.getpid(), os.WTERMSIG(status))
    sys.exit(os.waitstatus_to_exitcode(status))


if __name__ == "__main__":
    main(sys.argv[1:])
