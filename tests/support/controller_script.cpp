#include "support/controller_script.h"

#include <cctype>

#include "support/fake_clock.h"
#include "support/fake_serial.h"

namespace {

fake::ControllerScript script;
std::vector<std::string> lines;
std::string current;
double outputAt = 0;  // output leaves in order, one echo delay apart
bool switched = false;
int corruptions = 0;

void say(const std::string& bytes) {
    outputAt = std::max(outputAt, fake::now()) + script.echoDelay;
    fake::controllerSends(bytes, outputAt);
}

void answerLine(const std::string& line) {
    lines.push_back(line);
    if (line == "TIMER1=65524") {
        switched = true;  // talks at the new rate: silent from here
    } else if (line == "? USING(##),CHR(CBY(7FECH))") {
        say(script.variantAnswer + "\r\n>");
    } else if (line == "RUN") {
        say("QRV LOGGER STARTED\r\nCHANNELS 4\r\n>");
    } else if (line == "M") {
        say("*MEMORY 12345 FREE\r\n>");
    } else {
        say(">");
    }
}

bool corruptThisLine() {
    const int number = static_cast<int>(lines.size()) + 1;
    if (number != script.corruptLine) return false;
    return !script.corruptOnce || corruptions == 0;
}

void receive(char byte) {
    if (script.silentFromLine > 0 && static_cast<int>(lines.size()) + 1 >= script.silentFromLine) return;
    if (byte == 3) {
        if (script.answersBreak && !script.silentAfterBreak) say(script.breakReply);
        current.clear();
        return;
    }
    if (byte == 19 || byte == 17) return;
    if (byte == '\r') {
        say("\r\n");
        if (corruptThisLine()) ++corruptions;
        const std::string line = current;
        current.clear();
        answerLine(line);
        return;
    }
    const bool first = current.empty();
    current += byte;
    const char echo = corruptThisLine() ? static_cast<char>(std::tolower(static_cast<unsigned char>(byte))) : byte;
    if (first && static_cast<int>(lines.size()) + 1 == script.xoffAfterLine) {
        say(std::string(1, echo) + "\x13");
        if (script.xonDelay >= 0) {
            outputAt += script.xonDelay;
            say("\x11");
        }
        return;
    }
    say(std::string(1, echo));
}

}  // namespace

namespace fake {

void playController(const ControllerScript& s) {
    script = s;
    lines.clear();
    current.clear();
    outputAt = 0;
    switched = false;
    corruptions = 0;
    onByteSent(receive);
}

std::vector<std::string> receivedLines() { return lines; }

}  // namespace fake
