// A controller's command interpreter played over the scripted serial line:
// echo, "READY" and ">", break-in, the speed switch, the variant answer,
// XOFF/XON and the closing exchange, each with switches for faults.
#pragma once

#include <string>
#include <vector>

namespace fake {

struct ControllerScript {
    double echoDelay = 0.002;        // seconds per echoed character
    bool answersBreak = true;        // Ctrl-C gives breakReply
    std::string breakReply = "\r\nBREAK IN 100\r\nREADY\r\n>";
    std::string variantAnswer = " 1";
    int corruptLine = 0;             // this received line's echo comes back lower-cased (1-based)
    bool corruptOnce = true;
    int xoffAfterLine = 0;           // XOFF after this received line's first character
    double xonDelay = 0.5;           // XON that long after the XOFF; negative: never
    bool echoDuringPause = true;     // keep echoing while XOFF holds the line
    bool silentAfterBreak = false;   // "SLEEP" and friends: nothing comes back
    int silentFromLine = 0;          // from this received line (1-based) on, nothing comes back
};

void playController(const ControllerScript& script = {});

// Lines the controller received, in order, without their CR.
std::vector<std::string> receivedLines();

}  // namespace fake
