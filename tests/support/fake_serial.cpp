#include "support/fake_serial.h"

#include <deque>
#include <set>

#include "support/fake_clock.h"

namespace {

struct Arrival {
    double at;
    char byte;
};

std::set<std::string> ports;
std::set<std::string> held;
std::deque<Arrival> incoming;
std::function<void(char)> responder;
std::function<void()> lookHook;
std::string sent;
std::vector<std::string> writeLog;
std::vector<SerialSettings> settingsLog;
std::vector<std::pair<int, int>> queueLog;
SerialSettings current;
bool dtr = false;
int opens = 0;
bool isOpen = false;
std::string nameOpened;
bool lineErrorPending = false;
bool writesFail = false;
int readError = 0;
bool settingsRefused = false;
int statusError = 0;
int statusFailures = 0;
int writeFailures = 0;

}  // namespace

namespace fake {

void resetSerial() {
    ports.clear();
    held.clear();
    incoming.clear();
    responder = nullptr;
    lookHook = nullptr;
    sent.clear();
    writeLog.clear();
    settingsLog.clear();
    queueLog.clear();
    current = SerialSettings{};
    dtr = false;
    opens = 0;
    isOpen = false;
    nameOpened.clear();
    lineErrorPending = writesFail = settingsRefused = false;
    readError = statusError = statusFailures = writeFailures = 0;
    addWakeSource([] { return incoming.empty() ? -1.0 : incoming.front().at; });
}

void addPort(const std::string& portName) { ports.insert(portName); }
void holdPort(const std::string& portName) {
    ports.insert(portName);
    held.insert(portName);
}

void controllerSends(const std::string& bytes, double at) {
    const double when = at < 0 ? now() : at;
    // Kept in time order so the queue is what the driver would hold.
    auto position = incoming.end();
    while (position != incoming.begin() && std::prev(position)->at > when) --position;
    for (char c : bytes) position = std::next(incoming.insert(position, Arrival{when, c}));
}

void onByteSent(std::function<void(char)> fn) { responder = std::move(fn); }
void beforeLineLook(std::function<void()> hook) { lookHook = std::move(hook); }
std::string sentBytes() { return sent; }
std::vector<std::string> writes() { return writeLog; }
std::vector<SerialSettings> settingsWritten() { return settingsLog; }
int lineRate() { return current.baudRate; }
std::vector<std::pair<int, int>> queueRecommendations() { return queueLog; }
bool dtrOn() { return dtr; }
int openCount() { return opens; }
bool portOpen() { return isOpen; }
std::string openedName() { return nameOpened; }
void lineErrorOnNextStatus() { lineErrorPending = true; }
void failWrites(bool fail) { writesFail = fail; }
void failReads(int errorNumber) { readError = errorNumber; }
void refuseSettings(bool refuse) { settingsRefused = refuse; }
void failStatus(int errorNumber, int times) {
    statusError = errorNumber;
    statusFailures = times;
}
void failNextWrites(int times) { writeFailures = times; }

}  // namespace fake

int serialSeamOpen(const std::string& portName, SerialHandle& handle) {
    if (!ports.contains(portName) || held.contains(portName) || isOpen) return 69;
    isOpen = true;
    ++opens;
    nameOpened = portName;
    handle.value = 1;
    return 0;
}

// A device path of its own, so a test can tell it from the port name.
std::string serialSeamDevicePath(const std::string& portName) { return "/dev/fake/" + portName; }

int serialSeamClose(SerialHandle) {
    isOpen = false;
    return 0;
}

int serialSeamReadSettings(SerialHandle, SerialSettings& settings) {
    settings = current;
    return 0;
}

int serialSeamWriteSettings(SerialHandle, const SerialSettings& settings) {
    if (settingsRefused) return 5;
    current = settings;
    settingsLog.push_back(settings);
    return 0;
}

int serialSeamQueueSizes(SerialHandle, int& transmit, int& receive) {
    transmit = queueLog.empty() ? 2048 : queueLog.back().first;
    receive = queueLog.empty() ? 4096 : queueLog.back().second;
    return 0;
}

int serialSeamRecommendQueueSizes(SerialHandle, int transmit, int receive) {
    queueLog.emplace_back(transmit, receive);
    return 0;
}

int serialSeamSetDtr(SerialHandle, bool on) {
    dtr = on;
    return 0;
}

int serialSeamStatus(SerialHandle, int& waiting, bool& lineError) {
    if (lookHook) lookHook();
    waiting = 0;
    lineError = false;
    if (statusFailures > 0) {
        --statusFailures;
        return statusError;
    }
    for (const Arrival& a : incoming) {
        if (a.at > fake::now()) break;
        ++waiting;
    }
    lineError = lineErrorPending;
    lineErrorPending = false;
    return 0;
}

int serialSeamReadByte(SerialHandle, char& byte, bool& got) {
    if (lookHook) lookHook();
    got = false;
    if (readError != 0) return readError;
    if (incoming.empty() || incoming.front().at > fake::now()) return 0;
    byte = incoming.front().byte;
    incoming.pop_front();
    got = true;
    return 0;
}

void serialSeamExpect(SerialHandle, int) {}

int serialSeamWrite(SerialHandle, const char* data, int count) {
    if (writesFail) return 69;
    if (writeFailures > 0) {
        --writeFailures;
        return 69;
    }
    const std::string bytes(data, static_cast<std::size_t>(count));
    writeLog.push_back(bytes);
    sent += bytes;
    if (responder)
        for (char c : bytes) responder(c);
    return 0;
}
