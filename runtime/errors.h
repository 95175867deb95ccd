// Run-time errors and the one handler in force.
//
// A failing operation calls raiseError(number). With no handler in force the
// error is dropped and raiseError returns, so the operation goes on to its
// neutral result (0 waiting bytes, an empty text). With a handler in force the
// failing statement is abandoned: raiseError throws ErrorJump, which is caught
// at the one place where that handler runs. Numbers from 241 up end the
// process at once with exit code 255, whatever handler is in force.
//
// The ends of a run (closingSequence, endRun, the fatal end) throw RunEnd,
// which main() catches to restore the terminal and return the exit code.
#pragma once

#include <cstdint>
#include <new>

enum class Handler : std::uint8_t {
    none,
    fileRead,            // reading COMMPORT.NUM: empty default
    probe,               // port probe: "Problem with COM port or port number!"
    generalErrorReport,  // controller dialogue and upload
    fileErrorReport,     // opening the upload file
    readRecovery,        // after readChar: the read is retried
};

struct ErrorJump {
    int number;
    Handler handler;
};

enum class EndKind : std::uint8_t {
    closing,  // closingSequence: screen cleared, console back to 80 x 25
    immediate,  // endRun: screen and 24-row console left as they are
    fatal,    // run-time error 241 and above
};

struct RunEnd {
    int exitCode;
    EndKind kind;
};

inline constexpr int fatalErrorFloor = 241;

void installHandler(Handler handler);
Handler handlerInForce();

// Records the error and jumps to the handler in force (see above).
void raiseError(int number);

// An allocation that failed is run-time error 7 ("out of memory"). Called
// while a std::bad_alloc is caught: with a handler in force the error jumps
// to it like any other. With none, the statement that failed cannot be
// resumed, so the std::bad_alloc goes on up to the end of the run.
[[noreturn]] void raiseOutOfMemory();

// Runs a step so that an allocation failure inside it is raised as error 7.
// Used where a handler's jumps are caught.
template <typename Step>
void withMemoryErrors(Step&& step) {
    try {
        step();
    } catch (const std::bad_alloc&) {
        raiseOutOfMemory();
    }
}

// Number of the last error raised, 0 before the first.
int lastErrorNumber();

// No handler in force and no error recorded, as at start.
void resetErrorState();

[[noreturn]] void endProcess(int exitCode, EndKind kind);
