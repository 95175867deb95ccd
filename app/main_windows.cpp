// Entry on Windows: the whole command line as the system keeps it, so that
// the program's own name is split off by the program's rules (a quoted name
// may hold blanks), and the run's exit code as the process's.
#include <windows.h>

#include "app/main_flow.h"

int main() { return runProgram(GetCommandLineA()); }
