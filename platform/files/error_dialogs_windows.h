// While one of these lives, no "insert a disk" or "drive not ready" box may
// stop the program: a missing medium is a failure like any other (Windows
// targets only).
#pragma once

#include <windows.h>

class NoErrorDialogs {
public:
    NoErrorDialogs() : previous_(SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX)) {}
    ~NoErrorDialogs() { SetErrorMode(previous_); }
    NoErrorDialogs(const NoErrorDialogs&) = delete;
    NoErrorDialogs& operator=(const NoErrorDialogs&) = delete;

private:
    UINT previous_;
};
