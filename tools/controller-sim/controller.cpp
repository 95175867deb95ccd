#include "tools/controller-sim/controller.h"

#include <algorithm>
#include <limits>

namespace sim {

namespace {

// XOFF a few characters before the buffer is full (the sender may have some
// on their way), XON once it has drained to half.
std::size_t highWater(int size) {
    return static_cast<std::size_t>(std::max(1, size - std::min(8, size / 4)));
}

std::size_t lowWater(int size) { return static_cast<std::size_t>(size / 2); }

const char* controlName(char c) {
    switch (c) {
        case kCtrlC: return "^C";
        case kXon: return "XON";
        case kXoff: return "XOFF";
        default: return nullptr;
    }
}

}  // namespace

Controller::Controller(Behaviour behaviour)
    : behaviour_(std::move(behaviour)),
      interpreter_(behaviour_, journal_),
      lastArrival_(std::numeric_limits<Micros>::min() / 2),
      pcResumed_(std::numeric_limits<Micros>::min() / 2) {}

void Controller::receive(std::string_view bytes, Micros now) {
    for (char c : bytes) {
        if (dropped_) return;
        wireIn_.push_back({now, c});
        ++received_;
        if (behaviour_.dropAfter && received_ >= *behaviour_.dropAfter) {
            dropped_ = true;
            journal_.note(now, "drop", "after " + std::to_string(received_) + " characters");
        }
    }
}

std::string Controller::takeOutput(Micros now) {
    advance(now);
    std::string out;
    while (!released_.empty() && released_.front().at <= now) {
        out += released_.front().byte;
        released_.pop_front();
    }
    return out;
}

std::optional<Micros> Controller::nextDue() const {
    Micros at = 0;
    std::optional<Micros> due;
    if (nextEvent(at) != Event::none) due = at;
    if (!released_.empty() && (!due || released_.front().at < *due)) due = released_.front().at;
    return due;
}

void Controller::noteLineRate(int baud, Micros now) {
    if (baud == pcRate_) return;
    pcRate_ = baud;
    journal_.note(now, "rate", std::to_string(baud));
}

bool Controller::acceptsInput() const { return !dropped_ && wireIn_.size() < 16; }

bool Controller::uploadFinished() const {
    return interpreter_.finished() && speech_.empty() && outQueue_.empty() &&
           flowOut_.empty() && released_.empty();
}

void Controller::noteUnfinishedInput(Micros now) {
    if (!rxLine_.empty()) journal_.note(now, "rx-unended", rxLine_);
    rxLine_.clear();
}

void Controller::advance(Micros now) {
    for (;;) {
        Micros at = 0;
        const Event event = nextEvent(at);
        if (event == Event::none || at > now) return;
        switch (event) {
            case Event::delivery: deliverFlow(at); break;
            case Event::flowTransmit: transmit(flowOut_, at); break;
            case Event::arrival: arrive(at); break;
            case Event::process: process(at); break;
            case Event::speech: speak(at); break;
            case Event::transmit: transmit(outQueue_, at); break;
            case Event::none: return;
        }
    }
}

// Earliest pending event. At equal times our XOFF and XON go first, so that
// bytes read from the PC in one go cannot run past a full buffer.
Controller::Event Controller::nextEvent(Micros& at) const {
    Event best = Event::none;
    auto consider = [&](Event event, std::optional<Micros> when) {
        if (when && (best == Event::none || *when < at)) {
            best = event;
            at = *when;
        }
    };
    if (!flowReleased_.empty()) consider(Event::delivery, flowReleased_.front().at);
    consider(Event::flowTransmit, transmitTime(flowOut_));
    consider(Event::arrival, arrivalTime());
    if (!inputBuffer_.empty()) {
        consider(Event::process, std::max(nextProcess_, inputBuffer_.front().at));
    }
    if (!speech_.empty()) consider(Event::speech, speech_.begin()->first);
    if (!heldByPc_) consider(Event::transmit, transmitTime(outQueue_));
    return best;
}

// When the character at the head of `queue` will have been sent.
std::optional<Micros> Controller::transmitTime(const std::deque<Timed>& queue) const {
    if (queue.empty()) return std::nullopt;
    return std::max(wireFree_, queue.front().at) + charTime();
}

// The next byte from the PC arrives one character time after the last, and
// not while the PC is stopped by our XOFF.
std::optional<Micros> Controller::arrivalTime() const {
    if (wireIn_.empty() || pcStopped_) return std::nullopt;
    return std::max({wireIn_.front().at, lastArrival_ + charTime(), pcResumed_});
}

void Controller::arrive(Micros at) {
    lastArrival_ = at;
    const char c = wireIn_.front().byte;
    wireIn_.pop_front();
    journalByte(c, at);
    if (behaviour_.silent) return;
    if (interpreter_.asleep()) {
        interpreter_.byteWhileAsleep(c, at);
        collectSpeech();
    } else {
        uartByte(c, at);
    }
}

void Controller::journalByte(char c, Micros at) {
    const int controllerRate = interpreter_.rate();
    if (pcRate_ != 0 && pcRate_ != controllerRate && !mismatchNoted_) {
        journal_.note(at, "mismatch", "pc " + std::to_string(pcRate_) + " controller " +
                                          std::to_string(controllerRate));
    }
    mismatchNoted_ = pcRate_ != 0 && pcRate_ != controllerRate;
    if (const char* name = controlName(c)) {
        journal_.note(at, "ctrl", name);
    } else if (c == kCr) {
        journal_.note(at, "rx", rxLine_);
        rxLine_.clear();
    } else {
        rxLine_ += c;
    }
}

// What the serial interrupt does before anything reaches the buffer.
void Controller::uartByte(char c, Micros at) {
    switch (c) {
        case kXoff: heldByPc_ = true; break;
        case kXon: heldByPc_ = false; break;
        case kCtrlC: breakIn(at); break;
        default: bufferByte(c, at); break;
    }
}

void Controller::bufferByte(char c, Micros at) {
    const int size = behaviour_.bufferSize;
    if (size > 0 && inputBuffer_.size() >= static_cast<std::size_t>(size)) {
        journal_.note(at, "overrun", std::string(1, c));
        return;
    }
    inputBuffer_.push_back({at, c});
    if (size > 0 && !xoffSent_ && inputBuffer_.size() >= highWater(size)) {
        sendFlow(kXoff, at);
        xoffSent_ = true;
    }
}

// Ctrl-C frees the output and, unless the console is locked or asleep,
// throws away what is pending and lets the interpreter answer.
void Controller::breakIn(Micros at) {
    heldByPc_ = false;
    if (!interpreter_.acceptsBreak()) return;
    outQueue_.clear();
    speech_.clear();
    inputBuffer_.clear();
    if (xoffSent_) {
        sendFlow(kXon, at);
        xoffSent_ = false;
    }
    interpreter_.breakIn(at);
    collectSpeech();
}

void Controller::process(Micros at) {
    const char c = inputBuffer_.front().byte;
    inputBuffer_.pop_front();
    nextProcess_ = at + (behaviour_.processCps > 0 ? 1000000 / behaviour_.processCps : 0);
    if (xoffSent_ && inputBuffer_.size() <= lowWater(behaviour_.bufferSize)) {
        sendFlow(kXon, at);
        xoffSent_ = false;
    }
    interpreter_.take(c, at);
    collectSpeech();
}

void Controller::speak(Micros at) {
    const auto first = speech_.begin();
    for (char c : first->second) outQueue_.push_back({at, c});
    speech_.erase(first);
}

void Controller::transmit(std::deque<Timed>& queue, Micros at) {
    const char c = queue.front().byte;
    queue.pop_front();
    wireFree_ = at;
    released_.push_back({releaseTime(at), c});
    if (&queue == &flowOut_) flowReleased_.push_back({releaseTime(at), c});
}

void Controller::deliverFlow(Micros at) {
    pcStopped_ = flowReleased_.front().byte == kXoff;
    flowReleased_.pop_front();
    if (!pcStopped_) pcResumed_ = at;
}

void Controller::sendFlow(char c, Micros at) {
    flowOut_.push_back({at, c});
    journal_.note(at, "flow", controlName(c));
}

void Controller::collectSpeech() {
    for (Speech& speech : interpreter_.takeSpeech()) {
        speech_.emplace(speech.at, std::move(speech.text));
    }
}

Micros Controller::charTime() const {
    // Ten bits a character: start, eight data bits, stop.
    return behaviour_.baudPacing ? 10000000 / interpreter_.rate() : 0;
}

// A USB adapter hands on what it has received when its latency timer runs out.
Micros Controller::releaseTime(Micros sent) const {
    if (behaviour_.latencyMs <= 0) return sent;
    const Micros period = Micros{behaviour_.latencyMs} * 1000;
    return (sent + period - 1) / period * period;
}

}  // namespace sim
