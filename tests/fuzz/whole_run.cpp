// Fuzz target: one whole run of FixQRV, from its command line to its end.
//
// The input chooses the world the run meets: the command line, the files in
// the working folder, the operator's keys and when they come (and whether
// standard input ends after them), the controller at the far end (the
// simulator's model: asleep, password, security question, buffer and speed,
// spoiled echoes, silence, a line that drops) and noise on the line between
// the two. The run is the shipped code over the test doubles and the virtual
// clock, so minutes of dialogue take microseconds.
//
// Whatever the input, the run
//   - ends: within a bounded virtual time, and never spins at one instant;
//   - does not flood the line: the passes over the program file stay within
//     the rules (each restart takes an Enter, or, once input has ended, at
//     most two in a row), and the bytes sent within what those passes and
//     the dialogue need;
//   - ends with the terminal and the port put back and every file closed;
//   - never crashes, lets an exception out, or trips a sanitizer.
// A run that waits for a key after the operator's last one, the keyboard
// still open, is rightly waiting for ever: it stops there.
//
// Input (seeds.py writes it from readable cases):
//   8 bytes: files (bit 0 standard input ends after the keys, 1 COMMPORT.NUM,
//     2 QRV1.BAS, 3 QRV2.BAS, 4 COM3 held by another program, 5 COMMPORT.NUM
//     locked, 6 both program files locked, 7 no COM3 at all); controller
//     (bit 0 asleep, 1 password, 2 password prompt as a whole line,
//     3 security question, 4 silent, 5 every pass spoiled, 6 a USB adapter's
//     16 ms latency, 7 the line drops); wake-up (CRs it takes, 250 ms steps
//     of deafness after falling asleep); tries (password tries, the program
//     line spoiled); input buffer; speed (50 characters a second a step);
//     characters before the line drops (16 a step); command line (bits 0-1:
//     none, "C", "3", the text that follows), terminal (bits 2-3: any size,
//     80 x 20, 40 x 12, 79 x 24) and the start's time of day (bits 4-7);
//   texts, each led by its length: the command line's tail (when chosen),
//     COMMPORT.NUM, QRV1.BAS and QRV2.BAS (two length bytes each), the
//     password, the variant answer, the keys (pairs: tenths of a second
//     since the key before, the key; 0xF0 and up are keys without a
//     character);
//   the rest, noise in threes: bytes the program writes before it strikes,
//     kind (low 4 bits) with a count or delay (high 4), an argument.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <limits>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/main_flow.h"
#include "ends/failure_paths.h"
#include "fuzz_input.h"
#include "memory_files.h"
#include "platform/files/files.h"
#include "platform/serial/serial_link.h"
#include "runtime/errors.h"
#include "support/fake_clock.h"
#include "support/fake_console.h"
#include "support/fake_serial.h"
#include "tools/controller-sim/controller.h"

namespace {

constexpr const char* target = "whole run";

// Noise on the line, set off when the program has written so many bytes.
enum class NoiseKind : std::uint8_t {
    phrase,      // a text the program knows arrives out of turn
    byte,        // one byte arrives out of turn
    garbleOut,   // the controller's next bytes arrive spoiled
    dropOut,     // the controller's next bytes are lost
    stall,       // the controller's output is held up a while
    deadLine,    // nothing passes either way a while, or for good
    dropIn,      // the program's next bytes are lost
    garbleIn,    // the program's next bytes arrive spoiled
    lineError,   // the driver reports a line error (overrun, framing)
    statusFails, // the next looks at the port fail
    writesFail,  // the next writes fail
    portTaken,   // another program takes the port at its next opening
};
constexpr int noiseKinds = 12;

struct Noise {
    std::size_t trigger;
    NoiseKind kind;
    int count;     // bytes or calls, 1 to 16
    double delay;  // seconds, 0.0005 to 16, doubling a step
    std::uint8_t arg;
};

const char* const phrases[] = {
    "READY\r\n", ">", "\r\n", "Password: ", "Unknown!\r\n", "BYE!\r\n", "Enable Security (Y/N)? \r\n",
    "*\r\n", "\x13", "\x11", "\x13\x11", " 2\r\n>", "\b", "READY\r\n>", "x", "\r",
};

// Keys without a character, as the console gives them: F1, F10, arrows,
// Home, End, Page Up/Down, Insert, Delete, F11, F12, Alt+A.
constexpr unsigned char extendedScans[] = {59, 68, 72, 75, 77, 80, 71, 79, 73, 81, 82, 83, 87, 88, 30, 60};

struct Arrival {
    double at;
    std::string bytes;
};

struct World {
    std::unique_ptr<sim::Controller> controller;
    std::vector<Noise> noise;
    std::size_t nextNoise = 0;
    std::vector<Arrival> injected;  // in time order
    std::size_t written = 0;
    int garbleOutLeft = 0, dropOutLeft = 0, garbleInLeft = 0, dropInLeft = 0;
    std::uint8_t garbleOutMask = 1, garbleInMask = 1;
    double stallUntil = 0;
    double deadUntil = 0;
    // The bounds a sound run keeps.
    std::size_t byteLimit = 0;
    int passLimit = 0;
    double timeLimit = 0;
    std::size_t instantLimit = 0;
    double instant = -1;
    std::size_t stepsAtInstant = 0;
    std::vector<std::string> struck;  // the noise, for FIXQRV_FUZZ_SHOW
};

World world;

[[noreturn]] void fail(const std::string& what) { fuzzFailure(target, what); }

sim::Micros micros(double seconds) { return static_cast<sim::Micros>(std::floor(seconds * 1e6)); }

// Bytes sent at one rate and read at another arrive as something else.
bool ratesDiffer() { return fake::lineRate() != world.controller->interpreter().rate(); }
char garbled(char c) { return static_cast<char>(0x80 | (static_cast<unsigned char>(c) >> 1)); }

void deliver(const std::string& bytes, double now) {
    std::string arriving;
    for (char c : bytes) {
        if (now < world.deadUntil) continue;
        if (world.dropOutLeft > 0) {
            --world.dropOutLeft;
            continue;
        }
        if (world.garbleOutLeft > 0) {
            --world.garbleOutLeft;
            c = static_cast<char>(c ^ world.garbleOutMask);
        }
        arriving += ratesDiffer() ? garbled(c) : c;
    }
    if (!arriving.empty()) fake::controllerSends(arriving, now);
}

// Hands the port whatever has reached it by now.
void pump() {
    const double now = fake::now();
    if (now >= world.stallUntil) deliver(world.controller->takeOutput(micros(now)), now);
    while (!world.injected.empty() && world.injected.front().at <= now) {
        fake::controllerSends(world.injected.front().bytes, now);
        world.injected.erase(world.injected.begin());
    }
}

// When something next reaches the port; negative: nothing is on its way.
double nextArrival() {
    double next = -1;
    if (const auto due = world.controller->nextDue()) next = std::max(static_cast<double>(*due) / 1e6, world.stallUntil);
    if (!world.injected.empty() && (next < 0 || world.injected.front().at < next)) next = world.injected.front().at;
    return next;
}

// Every wait, pause and write is a step of the run.
void step() {
    const double now = fake::now();
    if (now > world.timeLimit) fail("still running after " + std::to_string(now) + " s of virtual time");
    if (now != world.instant) {
        world.instant = now;
        world.stepsAtInstant = 0;
    }
    if (++world.stepsAtInstant > world.instantLimit)
        fail("more than " + std::to_string(world.instantLimit) + " steps at " + std::to_string(now) +
             " s with no time passing");
    const int passes = memfs::readOpens("QRV1.BAS") + memfs::readOpens("QRV2.BAS");
    if (passes > world.passLimit)
        fail(std::to_string(passes) + " passes over the program file; the rules allow " +
             std::to_string(world.passLimit));
}

void strike(const Noise& noise) {
    const double now = fake::now();
    world.struck.push_back(std::to_string(now) + " noise " + std::to_string(static_cast<int>(noise.kind)) + " arg " +
                           std::to_string(noise.arg) + " after byte " + std::to_string(world.written));
    auto inject = [&](std::string bytes) {
        Arrival arrival{now + noise.delay, std::move(bytes)};
        auto at = std::upper_bound(world.injected.begin(), world.injected.end(), arrival.at,
                                   [](double t, const Arrival& a) { return t < a.at; });
        world.injected.insert(at, std::move(arrival));
    };
    switch (noise.kind) {
        case NoiseKind::phrase: inject(phrases[noise.arg % std::size(phrases)]); break;
        case NoiseKind::byte: inject(std::string(1, static_cast<char>(noise.arg))); break;
        case NoiseKind::garbleOut:
            world.garbleOutLeft = noise.count;
            world.garbleOutMask = noise.arg | 1;
            break;
        case NoiseKind::dropOut: world.dropOutLeft = noise.count; break;
        case NoiseKind::stall: world.stallUntil = std::max(world.stallUntil, now + noise.delay); break;
        case NoiseKind::deadLine:
            world.deadUntil = noise.arg == 255 ? std::numeric_limits<double>::infinity()
                                               : std::max(world.deadUntil, now + noise.delay + noise.arg * 0.1);
            break;
        case NoiseKind::dropIn: world.dropInLeft = noise.count; break;
        case NoiseKind::garbleIn:
            world.garbleInLeft = noise.count;
            world.garbleInMask = noise.arg | 1;
            break;
        case NoiseKind::lineError: fake::lineErrorOnNextStatus(); break;
        // Up to 64 in a row: past the bound on retries after a read.
        case NoiseKind::statusFails: fake::failStatus(57, 4 * noise.count); break;
        case NoiseKind::writesFail: fake::failNextWrites(4 * noise.count); break;
        case NoiseKind::portTaken: fake::holdPort("COM3"); break;
    }
}

// The program wrote a byte: it goes down the line to the controller.
void byteSent(char c) {
    step();
    if (++world.written > world.byteLimit)
        fail("flooded the line: more than " + std::to_string(world.byteLimit) + " bytes sent");
    const double now = fake::now();
    bool lost = now < world.deadUntil;
    if (!lost && world.dropInLeft > 0) {
        --world.dropInLeft;
        lost = true;
    }
    if (!lost && world.garbleInLeft > 0) {
        --world.garbleInLeft;
        c = static_cast<char>(c ^ world.garbleInMask);
    }
    if (!lost) {
        const char arriving = ratesDiffer() ? garbled(c) : c;
        world.controller->receive(std::string_view(&arriving, 1), micros(now));
    }
    while (world.nextNoise < world.noise.size() && world.noise[world.nextNoise].trigger <= world.written)
        strike(world.noise[world.nextNoise++]);
}

// With FIXQRV_FUZZ_SHOW set, what the run did: the controller's log and how
// far the run went, for whoever writes or reads an input.
void tell(const char* outcome) {
    if (std::getenv("FIXQRV_FUZZ_SHOW") == nullptr) return;
    for (const sim::JournalEntry& entry : world.controller->takeJournal())
        std::fprintf(stderr, "  %s\n", sim::formatEntry(entry).c_str());
    for (const std::string& noise : world.struck) std::fprintf(stderr, "  %s\n", noise.c_str());
    std::fprintf(stderr, "  %s at %.3f s, %zu bytes sent, %d passes\n", outcome, fake::now(), world.written,
                 memfs::readOpens("QRV1.BAS") + memfs::readOpens("QRV2.BAS"));
}

void resetEverything(double startOfDay) {
    installHandler(Handler::none);
    closeAllFiles();
    closePort();
    memfs::reset();
    fake::resetClock(startOfDay);
    fake::resetConsole();
    fake::resetSerial();
    resetProgramState();
    world = World{};
}

std::vector<Noise> readNoise(FuzzInput& in) {
    std::vector<Noise> noise;
    std::size_t trigger = 0;
    while (!in.empty()) {
        trigger += in.byte();
        const std::uint8_t kind = in.byte();
        const std::uint8_t arg = in.byte();
        noise.push_back({trigger, static_cast<NoiseKind>((kind & 15) % noiseKinds), 1 + (kind >> 4),
                         0.0005 * std::exp2(kind >> 4), arg});
    }
    return noise;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t files = in.byte();
    const std::uint8_t far = in.byte();
    const std::uint8_t wake = in.byte();
    const std::uint8_t tries = in.byte();
    const std::uint8_t buffer = in.byte();
    const std::uint8_t speed = in.byte();
    const std::uint8_t drop = in.byte();
    const std::uint8_t misc = in.byte();
    const char* const commands[] = {"fixqrv", "fixqrv C", "fixqrv 3"};
    const std::string commandLine = (misc & 3) < 3 ? commands[misc & 3] : "fixqrv " + in.text();
    const std::string memory = in.text();
    const std::string program1 = in.longText();
    const std::string program2 = in.longText();
    const std::string password = in.text();
    const std::string variant = in.text();
    const std::string keys = in.text();

    resetEverything(10 * 3600.0 + (misc >> 4) * 0.125);
    // A console that shows any size, or one smaller than the program's 80 x 24.
    constexpr int terminals[][2] = {{0, 0}, {80, 20}, {40, 12}, {79, 24}};
    fake::limitScreenSize(terminals[misc >> 2 & 3][0], terminals[misc >> 2 & 3][1]);
    world.noise = readNoise(in);

    if (files & 2) memfs::putFile("COMMPORT.NUM", memory);
    if (files & 4) memfs::putFile("QRV1.BAS", program1);
    if (files & 8) memfs::putFile("QRV2.BAS", program2);
    if (files & 32) memfs::lockFile("COMMPORT.NUM");
    if (files & 64) {
        memfs::lockFile("QRV1.BAS");
        memfs::lockFile("QRV2.BAS");
    }
    if (!(files & 128)) {
        if (files & 16)
            fake::holdPort("COM3");
        else
            fake::addPort("COM3");
    }

    sim::Behaviour behaviour;
    behaviour.asleep = far & 1;
    if (far & 2) behaviour.password = password;
    behaviour.passwordPromptLine = far & 4;
    behaviour.security = far & 8;
    behaviour.silent = far & 16;
    behaviour.corruptAlways = far & 32;
    behaviour.latencyMs = far & 64 ? 16 : 0;
    if (far & 128) behaviour.dropAfter = 16 + drop * 16;
    behaviour.wakeCrs = 1 + (wake & 3);
    behaviour.wakeDelayMs = (wake >> 2) * 250;
    behaviour.passwordTries = 1 + (tries & 3);
    behaviour.corruptLine = (tries >> 2) & 7;
    behaviour.bufferSize = buffer == 0 ? 0 : 8 + buffer % 120;
    behaviour.processCps = speed * 50;
    behaviour.baudPacing = true;  // a real line always takes its time
    if (!variant.empty()) behaviour.variant = variant;
    world.controller = std::make_unique<sim::Controller>(behaviour);

    // The operator: tenths of a second since the last key, then the key.
    double at = 0;
    int enters = 0;
    for (std::size_t i = 0; i + 1 < keys.size(); i += 2) {
        at += static_cast<unsigned char>(keys[i]) * 0.1;
        const auto code = static_cast<unsigned char>(keys[i + 1]);
        const std::string key = code >= 0xF0 ? std::string{'\0', static_cast<char>(extendedScans[code - 0xF0])}
                                             : std::string(1, static_cast<char>(code));
        fake::pressKey(key, at);
        enters += key == "\r";
    }
    if (files & 1)
        fake::endKeyboard();
    else
        fake::leaveWhenKeysRunOut(true);

    // Passes over the program file: each queryAndUpload round opens it once
    // and restarts at most three times without an Enter; a fourth round
    // would take a third failure, which ends the run.
    const std::size_t largestFile = std::max(program1.size(), program2.size());
    world.passLimit = 3 * 4 + enters;
    world.byteLimit = 20000 + 2 * keys.size() + 64 * world.noise.size() +
                      static_cast<std::size_t>(world.passLimit) * (largestFile + 1);
    world.timeLimit = std::min(9e5, 20000 + 120.0 * static_cast<double>(world.noise.size()) + at +
                                        world.passLimit * (static_cast<double>(largestFile) + 1) * 12);
    world.instantLimit = 10000 + 2 * keys.size();

    fake::addWakeSource([] {
        pump();
        step();
        return nextArrival();
    });
    fake::setSleepHook(step);
    fake::onByteSent(byteSent);
    fake::beforeLineLook(pump);

    int exitCode = -1;
    try {
        exitCode = runProgram(commandLine);
    } catch (const fake::OperatorLeft&) {
        // Waiting for a key that will never come, rightly.
        tell("waits for the operator");
        return 0;
    } catch (const Recheck&) {
        fail("a re-check of the prompt escaped the run");
    } catch (const ErrorJump& jump) {
        fail("run-time error " + std::to_string(jump.number) + " escaped the run");
    } catch (const std::exception& e) {
        fail(std::string("exception out of the run: ") + e.what());
    }
    if (exitCode != 0) fail("exit code " + std::to_string(exitCode));
    if (!fake::restored()) fail("the terminal was not put back");
    if (fake::portOpen()) fail("the port was left open");
    if (memfs::openHandles() != 0) fail(std::to_string(memfs::openHandles()) + " files left open");
    tell("ended");
    return 0;
}
