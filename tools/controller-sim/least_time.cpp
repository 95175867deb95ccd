#include "tools/controller-sim/least_time.h"

#include <algorithm>

#include "tools/controller-sim/controller.h"

namespace sim {

double leastUploadSeconds(const std::vector<std::string>& lines, const Behaviour& behaviour) {
    Controller controller(behaviour);
    Micros now = 0;
    std::string got;  // come back, not yet looked at
    // Runs the model until `got` holds a byte that `wanted` accepts; its index.
    auto waitFor = [&](auto wanted) -> std::size_t {
        for (;;) {
            got += controller.takeOutput(now);
            for (std::size_t i = 0; i < got.size(); ++i)
                if (wanted(got[i])) return i;
            const auto due = controller.nextDue();
            if (!due) return got.size();
            now = std::max(now, *due);
        }
    };
    auto isReply = [](char c) { return c != '\r' && c != '\n' && c != 17 && c != 19; };
    auto isLf = [](char c) { return c == '\n'; };
    auto sendLine = [&](const std::string& text) {
        controller.receive(text.substr(0, 1), now);
        got.erase(0, waitFor(isReply) + 1);
        controller.receive(text.substr(1) + "\r", now);
        got.erase(0, waitFor(isLf) + 1);
    };
    sendLine("TIMER1=65524");
    controller.noteLineRate(kFastRate, now);
    for (const auto& line : lines) sendLine(line);
    std::vector<Micros> stored;
    for (const auto& entry : controller.takeJournal())
        if (entry.tag == "program") stored.push_back(entry.at);
    return stored.size() < 2 ? 0 : static_cast<double>(stored.back() - stored.front()) / 1e6;
}

}  // namespace sim
