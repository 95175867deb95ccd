// The controller's command interpreter, one character at a time: echo, line
// editing, the commands FixQRV uses, sleep and wake-up, the password and the
// security question. It knows nothing of line timing or buffers: the
// Controller (controller.h) feeds it characters when their time has come and
// sends what it says.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tools/controller-sim/behaviour.h"
#include "tools/controller-sim/journal.h"

namespace sim {

inline constexpr char kCtrlC = 3;
inline constexpr char kBackspace = 8;
inline constexpr char kLf = 10;
inline constexpr char kCr = 13;
inline constexpr char kXon = 17;
inline constexpr char kXoff = 19;

inline constexpr int kStartRate = 9600;
inline constexpr int kFastRate = 19200;

// Text to go out on the line, not before `at`.
struct Speech {
    Micros at = 0;
    std::string text;
};

class Interpreter {
public:
    enum class State { asleep, login, security, command, running };

    Interpreter(const Behaviour& behaviour, Journal& journal);

    State state() const { return state_; }
    int rate() const { return rate_; }
    bool finished() const { return finished_; }
    bool asleep() const { return state_ == State::asleep; }
    // A locked console (login) and a sleeping one take no notice of Ctrl-C.
    bool acceptsBreak() const;
    const std::map<long, std::string>& program() const { return program_; }

    void byteWhileAsleep(char c, Micros now);
    void take(char c, Micros now);
    void breakIn(Micros now);

    std::vector<Speech> takeSpeech();

private:
    void say(Micros at, std::string text);
    void echo(char c, Micros now);
    char programEcho(char c, Micros now);
    void endLine(Micros now);
    void command(const std::string& line, Micros now);
    void storeLine(const std::string& line, Micros now);
    void run(Micros now);
    void runningLine(const std::string& line, Micros now);
    void securityAnswer(const std::string& line, Micros now);
    void loginKey(char c, Micros now);
    void checkPassword(Micros now);
    void wake(Micros now);
    void greet(Micros now);
    void askPassword(Micros now);
    void openSession(Micros now);
    void fallAsleep(Micros now);

    const Behaviour& behaviour_;
    Journal& journal_;
    State state_;
    int rate_ = kStartRate;
    bool finished_ = false;
    std::string line_;
    std::vector<Speech> speech_;
    std::map<long, std::string> program_;

    Micros asleepSince_ = 0;
    int wakeCrsSeen_ = 0;
    int wrongPasswords_ = 0;

    int linesInPass_ = 0;      // program lines started in this upload pass
    long lastLineNumber_ = -1;
    bool corruptedOnce_ = false;
    bool passEnded_ = false;   // a spoiled echo makes the sender start over
};

}  // namespace sim
