// The command line: the tail after the program's name, upper-cased and
// split into words. Only word 1 is ever looked at.
#pragma once

#include "runtime/program_state.h"

// The program's name is everything up to the next double quote when the
// line starts with one, else up to the first character of code 32 or less;
// blanks after it are skipped and the rest, trailing blanks included, is the
// tail.
Text commandTailOf(const Text& commandLine);

// a-z and the seven code page 437 lower-case letters to upper case.
Text upperCaseCommand(const Text& text);

// commandText into commandWords: each blank starts the next word, so a run
// of blanks gives empty words between. Words past the tenth are dropped.
void splitCommandLine();

// One command line text from the argument vector, the program's name quoted
// when it holds blanks, as the system shell hands it over elsewhere.
Text commandLineFromArguments(int argc, const char* const* argv);
