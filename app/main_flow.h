// The program's top level: start-up, the command line, the start screen and
// the main sequence of one run.
#pragma once

#include "runtime/program_state.h"

// One whole run for the given command line; returns the exit code.
int runProgram(const Text& commandLine);

// Start-up up to the dispatch: tables, command words, title, colours, size.
void startUp(const Text& commandLine);

// Acts on word 1 of the command line and runs the rest of the run.
[[noreturn]] void dispatchAndRun();

void showBanner();

// The variant query and the upload, asked again after a re-check.
[[noreturn]] void queryAndUpload();
