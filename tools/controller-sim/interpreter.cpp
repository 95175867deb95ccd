#include "tools/controller-sim/interpreter.h"

#include <cctype>
#include <cstdlib>

namespace sim {

namespace {

constexpr const char* kVariantQuery = "? USING(##),CHR(CBY(7FECH))";
constexpr const char* kSpeedSwitch = "TIMER1=65524";
constexpr const char* kWakeText = "KTX READY";
constexpr const char* kSecurityQuestion = "Enable Security (Y/N)? ";
constexpr Micros kLinePace = 100000;  // a running program prints a line per 0.1 s

const std::string kCrLf = "\r\n";
const std::string kReady = "READY\r\n>";

bool startsWithDigit(const std::string& text) {
    return !text.empty() && std::isdigit(static_cast<unsigned char>(text[0]));
}

}  // namespace

Interpreter::Interpreter(const Behaviour& behaviour, Journal& journal)
    : behaviour_(behaviour), journal_(journal) {
    if (behaviour_.asleep) {
        state_ = State::asleep;
    } else if (behaviour_.password) {
        state_ = State::login;  // a locked console, left at its password prompt
    } else {
        state_ = State::command;
    }
}

bool Interpreter::acceptsBreak() const {
    return state_ != State::asleep && state_ != State::login;
}

std::vector<Speech> Interpreter::takeSpeech() {
    std::vector<Speech> taken;
    taken.swap(speech_);
    return taken;
}

void Interpreter::say(Micros at, std::string text) {
    speech_.push_back({at, std::move(text)});
}

void Interpreter::byteWhileAsleep(char c, Micros now) {
    if (c != kCr || now - asleepSince_ < Micros{behaviour_.wakeDelayMs} * 1000) return;
    if (++wakeCrsSeen_ >= behaviour_.wakeCrs) wake(now);
}

void Interpreter::take(char c, Micros now) {
    if (state_ == State::login) {
        loginKey(c, now);
    } else if (c == kCr) {
        say(now, kCrLf);
        endLine(now);
    } else if (c == kBackspace) {
        say(now, std::string(1, c));
        if (!line_.empty()) line_.pop_back();
    } else if (c != kLf) {  // a terminal's LF after CR means nothing here
        echo(c, now);
    }
}

void Interpreter::echo(char c, Micros now) {
    char echoed = c;
    if (state_ == State::command && line_.empty() && std::isdigit(static_cast<unsigned char>(c))) {
        echoed = programEcho(c, now);
    }
    line_ += c;
    say(now, std::string(1, echoed));
}

// Counts program lines per upload pass and spoils the first echoed
// character of the chosen one by a flipped bit, as line noise would.
char Interpreter::programEcho(char c, Micros now) {
    if (passEnded_) {
        linesInPass_ = 0;
        passEnded_ = false;
    }
    const int index = ++linesInPass_;
    if (index != behaviour_.corruptLine || (corruptedOnce_ && !behaviour_.corruptAlways)) return c;
    corruptedOnce_ = true;
    passEnded_ = true;
    journal_.note(now, "corrupt", "program line " + std::to_string(index));
    return static_cast<char>(c ^ 1);
}

void Interpreter::endLine(Micros now) {
    const std::string line = std::move(line_);
    line_.clear();
    switch (state_) {
        case State::command: command(line, now); break;
        case State::running: runningLine(line, now); break;
        case State::security: securityAnswer(line, now); break;
        case State::asleep:
        case State::login: break;
    }
}

void Interpreter::command(const std::string& line, Micros now) {
    if (startsWithDigit(line)) {
        storeLine(line, now);
        say(now, ">");
    } else if (line == kSpeedSwitch) {
        rate_ = kFastRate;  // and from now on it says nothing until spoken to
        journal_.note(now, "speed", std::to_string(rate_));
    } else if (line == kVariantQuery) {
        say(now, behaviour_.variant + kCrLf + ">");
    } else if (line == "RUN") {
        run(now);
    } else if (line == "SLEEP") {
        fallAsleep(now);
    } else {
        say(now, ">");
    }
}

// A line number alone deletes that line, as in any line-numbered BASIC.
void Interpreter::storeLine(const std::string& line, Micros now) {
    char* rest = nullptr;
    const long number = std::strtol(line.c_str(), &rest, 10);
    if (number <= lastLineNumber_) linesInPass_ = 1;  // the sender started over
    lastLineNumber_ = number;
    journal_.note(now, "program", line);
    if (*rest == '\0') {
        program_.erase(number);
    } else {
        program_[number] = line;
    }
}

void Interpreter::run(Micros now) {
    if (program_.empty()) {
        say(now, "NO PROGRAM\r\n>");
        return;
    }
    state_ = State::running;
    journal_.note(now, "run", std::to_string(program_.size()) + " lines");
    const std::string banner[] = {
        "KTX DATA LOGGER PROGRAM STARTED",
        std::to_string(program_.size()) + " LINES, LAST LINE " +
            std::to_string(program_.rbegin()->first),
        "SELF TEST OK",
        "LOGGING STARTED",
    };
    Micros at = now;
    for (const std::string& text : banner) {
        say(at, text + kCrLf);
        at += kLinePace;
    }
}

// The running program reads the keyboard: "M" opens its menu (a "*" line
// first), "10" is the menu item that goes back to logging.
void Interpreter::runningLine(const std::string& line, Micros now) {
    if (line == "M") {
        say(now, "*** MAIN MENU ***\r\n 1 SHOW READINGS\r\n 2 SET CLOCK\r\n"
                 " 3 SEND LOG\r\n10 RESUME LOGGING\r\nSELECT: ");
    } else if (line == "10") {
        say(now, "LOGGING RESUMED\r\n");
        finished_ = true;
        journal_.note(now, "finished");
    }
}

void Interpreter::securityAnswer(const std::string& line, Micros now) {
    if (line == "N" || line == "n") {
        state_ = State::command;
        say(now, kReady);
    } else if (line == "Y" || line == "y") {
        state_ = State::command;
        say(now, "SECURITY ENABLED\r\n" + kReady);
    } else {
        say(now, kSecurityQuestion);
    }
}

// Password keys are not echoed; backspace edits what was typed.
void Interpreter::loginKey(char c, Micros now) {
    if (c == kCr) {
        checkPassword(now);
    } else if (c == kBackspace) {
        if (!line_.empty()) line_.pop_back();
    } else {
        line_ += c;
    }
}

void Interpreter::checkPassword(Micros now) {
    const std::string typed = std::move(line_);
    line_.clear();
    if (typed.empty()) {
        greet(now);  // a CR on the locked console shows the login again
    } else if (typed == *behaviour_.password) {
        journal_.note(now, "login", "accepted");
        say(now, kCrLf);
        openSession(now);
    } else if (++wrongPasswords_ >= behaviour_.passwordTries) {
        journal_.note(now, "login", "refused, BYE!");
        say(now, " Unknown!\r\nBYE!\r\n");
        fallAsleep(now);
    } else {
        journal_.note(now, "login", "wrong password");
        say(now, " Unknown!\r\n");
        askPassword(now);
    }
}

void Interpreter::wake(Micros now) {
    journal_.note(now, "wake");
    wakeCrsSeen_ = 0;
    if (behaviour_.password) {
        state_ = State::login;
        greet(now);
    } else {
        say(now, kCrLf + kWakeText + kCrLf);
        openSession(now);
    }
}

// The first text after waking is a banner: FixQRV reads it without looking,
// so the password prompt has to come after it.
void Interpreter::greet(Micros now) {
    say(now, kCrLf + kWakeText + kCrLf);
    askPassword(now);
}

void Interpreter::askPassword(Micros now) {
    say(now, behaviour_.passwordPromptLine ? "Password: \r\n" : "Password: ");
}

void Interpreter::openSession(Micros now) {
    wrongPasswords_ = 0;
    if (behaviour_.security) {
        state_ = State::security;
        say(now, kSecurityQuestion);
    } else {
        state_ = State::command;
        say(now, kReady);
    }
}

void Interpreter::breakIn(Micros now) {
    std::string where = "BREAK";
    if (state_ == State::running && !program_.empty()) {
        where += " IN LINE " + std::to_string(program_.rbegin()->first);
    }
    journal_.note(now, "break", where);
    line_.clear();
    state_ = State::command;  // also cancels an open security question
    say(now, kCrLf + where + kCrLf + kReady);
}

void Interpreter::fallAsleep(Micros now) {
    journal_.note(now, "sleep");
    state_ = State::asleep;
    asleepSince_ = now;
    wakeCrsSeen_ = 0;
    wrongPasswords_ = 0;
    line_.clear();
    if (rate_ != kStartRate) {
        rate_ = kStartRate;  // it wakes at its power-on rate
        journal_.note(now, "speed", std::to_string(rate_));
    }
}

}  // namespace sim
