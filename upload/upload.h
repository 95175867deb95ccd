// The upload of the program file, line by line with each line's echo
// compared, restarting from the first line after a mismatch, and the
// closing exchange that starts the program in the controller.
#pragma once

// File 3 open, its size taken. Never returns.
[[noreturn]] void uploadProgram();
[[noreturn]] void finishUpload();
