// The program-wide variables that the subroutines share. The main routine
// sets them up at start; tests call resetProgramState() before each case.
#pragma once

#include <array>
#include <cstdint>
#include <string>

using Text = std::string;  // bytes, compared byte by byte, no conversion

inline constexpr int maxPortNumber = 256;
inline constexpr int commandWordCount = 10;
// The upload file's number while it is open.
inline constexpr int uploadFileNumber = 3;

// Line settings that configurePort applies; fixed at start.
struct LineSettings {
    int baudRate;
    int dataBits;
    bool parityChecking;
    int stopBits;
    int transmitQueue;
    int receiveQueue;
    bool dtrOn;
};

// Command line and port selection.
extern std::array<Text, maxPortNumber + 1> portNumberText;  // "", "1" .. "256"
extern std::array<Text, commandWordCount + 1> commandWords;  // words 1 .. 10
extern int portNumber;
extern Text portName;
// The first line of "COMMPORT.NUM", emptied when it names no port from 1 to
// 20: the prompt's default.
extern Text rememberedPortText;
extern Text operatorLine;  // typed at the port prompt, without the Enter

// Serial link.
extern Text commandText;
extern Text replyLine;
extern Text lastChar;
extern int lastCode;
extern int gotLine;
extern int lineTimeout;
extern LineSettings lineSettings;

// Controller dialogue.
extern int speedMode;
extern int failureCount;
extern int dialogueMisses;
extern int dialogueRechecks;  // dialogue re-checks in a row without a prompt
extern int variantNumber;

// Upload.
extern Text uploadFileName;
extern std::int64_t uploadFileSize;
extern int linesSent;
extern std::int64_t bytesSent;
extern Text sentLine;

// Puts every variable back to its start value, no handler in force.
void resetProgramState();
