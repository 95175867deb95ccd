// The simulated controller as a pure state machine over an injected clock:
// bytes arrive with the time they were read, output comes out when its time
// has come. Around the interpreter it models the line and the hardware:
//
//   line in (paced) -> UART: Ctrl-C, XOFF, XON act at once
//                   -> input buffer (XOFF near full, XON at half)
//                   -> interpreter at its own speed -> speech (may be timed)
//                   -> transmitter (held by the PC's XOFF, paced)
//                   -> adapter latency (released in batches) -> line out
//
// On a pseudo-terminal the PC's writes never wait for the line, so once the
// first echo is back FixQRV hands over a whole line at once. The PC is taken
// to stop sending as soon as our XOFF reaches it: what it wrote after that
// waits on its side of the line until our XON reaches it.
//
// The I/O loop calls receive() with what it read, takeOutput() for what to
// write, and sleeps until nextDue(). Nothing here reads a clock.
#pragma once

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/controller-sim/behaviour.h"
#include "tools/controller-sim/interpreter.h"
#include "tools/controller-sim/journal.h"

namespace sim {

class Controller {
public:
    explicit Controller(Behaviour behaviour);
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    void receive(std::string_view bytes, Micros now);
    std::string takeOutput(Micros now);
    std::optional<Micros> nextDue() const;

    // The rate the PC side has set its port to, as read back from the tty.
    void noteLineRate(int baud, Micros now);
    bool acceptsInput() const;
    bool lineDropped() const { return dropped_; }
    // The closing exchange is over and everything it said has gone out.
    bool uploadFinished() const;

    std::vector<JournalEntry> takeJournal() { return journal_.take(); }
    void noteUnfinishedInput(Micros now);
    const Interpreter& interpreter() const { return interpreter_; }

private:
    struct Timed {
        Micros at;
        char byte;
    };
    enum class Event { none, delivery, flowTransmit, arrival, process, speech, transmit };

    void advance(Micros now);
    Event nextEvent(Micros& at) const;
    std::optional<Micros> transmitTime(const std::deque<Timed>& queue) const;
    std::optional<Micros> arrivalTime() const;
    void arrive(Micros at);
    void journalByte(char c, Micros at);
    void uartByte(char c, Micros at);
    void bufferByte(char c, Micros at);
    void breakIn(Micros at);
    void process(Micros at);
    void speak(Micros at);
    void transmit(std::deque<Timed>& queue, Micros at);
    void deliverFlow(Micros at);
    void sendFlow(char c, Micros at);
    void collectSpeech();
    Micros charTime() const;
    Micros releaseTime(Micros sent) const;

    Behaviour behaviour_;
    Journal journal_;
    Interpreter interpreter_;

    std::deque<Timed> wireIn_;  // read from the PC, not yet arrived
    Micros lastArrival_ = 0;
    bool pcStopped_ = false;    // our XOFF has reached the PC
    Micros pcResumed_ = 0;
    long received_ = 0;
    bool dropped_ = false;
    std::string rxLine_;
    int pcRate_ = 0;
    bool mismatchNoted_ = false;

    std::deque<Timed> inputBuffer_;
    Micros nextProcess_ = 0;
    bool xoffSent_ = false;

    std::multimap<Micros, std::string> speech_;
    std::deque<Timed> outQueue_;
    std::deque<Timed> flowOut_;  // XOFF and XON go ahead of everything
    bool heldByPc_ = false;
    Micros wireFree_ = 0;
    std::deque<Timed> released_;
    std::deque<Timed> flowReleased_;  // when our XOFF and XON reach the PC
};

}  // namespace sim
