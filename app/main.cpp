#include "app/command_line.h"
#include "app/main_flow.h"

int main(int argc, char** argv) { return runProgram(commandLineFromArguments(argc, argv)); }
