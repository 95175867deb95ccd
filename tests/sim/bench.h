// A test bench around the controller state machine: an injected clock that
// the tests move by hand or from one due event to the next, and a reader
// that splits output into lines the way FixQRV's receiveLine does.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "tools/controller-sim/controller.h"

namespace simtest {

using sim::Micros;

constexpr Micros ms(long long n) { return n * 1000; }

struct Bench {
    explicit Bench(sim::Behaviour behaviour = {}) : controller(std::move(behaviour)) {}

    // Bytes that arrive all in one read, and what has come out at once.
    std::string send(std::string_view bytes) {
        controller.receive(bytes, now);
        return controller.takeOutput(now);
    }

    // One character per write, reading in between, as FixQRV sends.
    std::string type(std::string_view text) {
        std::string out;
        for (char c : text) out += send(std::string(1, c));
        return out;
    }

    std::string wait(Micros span) {
        now += span;
        return controller.takeOutput(now);
    }

    // Follows the controller's due times until it has nothing more to do
    // within `limit`.
    std::string settle(Micros limit = ms(10000)) {
        std::string out;
        const Micros end = now + limit;
        for (auto due = controller.nextDue(); due && *due <= end; due = controller.nextDue()) {
            now = std::max(now, *due);
            out += controller.takeOutput(now);
        }
        return out;
    }

    std::vector<std::string> journal(std::string_view tag) {
        for (auto& entry : controller.takeJournal()) kept.push_back(std::move(entry));
        std::vector<std::string> texts;
        for (const auto& entry : kept) {
            if (entry.tag == tag) texts.push_back(entry.text);
        }
        return texts;
    }

    sim::Controller controller;
    Micros now = 0;
    std::vector<sim::JournalEntry> kept;
};

// Lines as FixQRV reads them: CR dropped, LF ends a line, the rest is a
// partial last line (kept even when empty only if something came after LF).
inline std::vector<std::string> linesOf(std::string_view output) {
    std::vector<std::string> lines(1);
    for (char c : output) {
        if (c == '\n') {
            lines.emplace_back();
        } else if (c != '\r') {
            lines.back() += c;
        }
    }
    if (lines.back().empty()) lines.pop_back();
    return lines;
}

inline const std::string kBreakReply = "\r\nBREAK\r\nREADY\r\n>";

}  // namespace simtest
