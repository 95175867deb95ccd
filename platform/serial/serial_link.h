// The program's only channel to the controller: one COM port, file number 1,
// used for single-character writes and reads.
//
// Every operation works on the program-wide variables of the link
// (commandText, replyLine, lastChar, lastCode, gotLine, lineTimeout) and
// raises run-time errors: 69 when the port cannot be opened or a write
// fails, 57 when the driver recorded a line error, 5 when the port refuses a
// setting. While readRecovery is in force (after any readChar) a failing
// read, status query or write is retried (a settings change is dropped), up
// to a bound of consecutive failures; past it the error goes to
// generalErrorReport, so a port that has gone for good ends the run with a
// report instead of a loop.
#pragma once

#include "runtime/program_state.h"

inline constexpr int portFileNumber = 1;
inline constexpr int recoveryLimit = 50;  // consecutive failures under readRecovery

// "COM" and the digits for 1 to 9, "\\.\COM" and the digits above.
Text portNameFor(int number);

void openPort();                    // portName
void configurePort(int baudRate);   // the seven settings, in order
void setBaudRate(int baudRate);
void closePort();                   // harmless when nothing is open
bool portIsOpen();

void sendText(const Text& text);    // one write
void sendCommandLine();             // commandText + CR, shown on row 6
int bytesWaiting();
void readChar();                    // lastChar; installs readRecovery
void drainInput();
// About `count` more bytes come, ending in CR or LF (the rest of an echo):
// the waits for them need not return for each one. A hint only; it lapses
// by itself.
void expectBytes(int count);
void receiveLine();                 // replyLine, gotLine within lineTimeout
// lastChar and lastCode, generalErrorReport in force again; false when no
// byte came within 5 seconds (the caller goes to uploadFailed).
bool waitReplyChar();

// Milliseconds to wait for activity while secondsLeft remain of a limit.
int waitMilliseconds(double secondsLeft);
