// A scripted controller at the far end of the serial seam: bytes it sends
// arrive at given virtual times, and a responder sees every byte the
// program writes, so a test can play the controller's side of a dialogue.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/serial/serial_seam.h"

namespace fake {

void resetSerial();

// Port names that open; every other name fails as a missing device.
void addPort(const std::string& portName);
// The port exists but another program holds it.
void holdPort(const std::string& portName);

// Bytes from the controller, available at the given virtual time (default now).
void controllerSends(const std::string& bytes, double at = -1);
// Called for each byte the program writes, at the virtual time of the write.
void onByteSent(std::function<void(char)> responder);
// Called whenever the program looks at the line (waiting bytes, a read), so
// that a model of the far end can hand over what has reached the port by now.
void beforeLineLook(std::function<void()> hook);

std::string sentBytes();
std::vector<std::string> writes();          // one entry per write call
std::vector<SerialSettings> settingsWritten();
int lineRate();  // the rate the port is set to now
std::vector<std::pair<int, int>> queueRecommendations();
bool dtrOn();
int openCount();
bool portOpen();
std::string openedName();

// Faults: the next status query reports a line error; writes fail; every
// read fails with the given number (0: reads work); settings refused.
void lineErrorOnNextStatus();
void failWrites(bool fail);
void failReads(int errorNumber);
void refuseSettings(bool refuse);
// The next `times` status queries fail with the number; the next `times`
// writes fail (nothing goes out).
void failStatus(int errorNumber, int times);
void failNextWrites(int times);

}  // namespace fake
