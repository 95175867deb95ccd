// A fresh program for each test: virtual clock, in-memory console with a
// scripted keyboard, a scripted controller on the serial line, program
// state at its start values, nothing open.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "ends/failure_paths.h"
#include "platform/console/console.h"
#include "platform/files/files.h"
#include "platform/serial/serial_link.h"
#include "runtime/errors.h"
#include "runtime/program_state.h"
#include "support/fake_clock.h"
#include "support/fake_console.h"
#include "support/fake_serial.h"

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        installLineExits();  // as the program does at start
        fake::resetClock();
        fake::resetConsole();
        resetProgramState();
        closePort();
        fake::resetSerial();
        closeAllFiles();
        prepareConsole();
    }
    void TearDown() override { closeAllFiles(); }

    // The console as the program leaves it after start-up: 80 x 24, 14 on 1.
    static void standardScreen() {
        setColors(14, 1);
        setScreenSize(80, 24);
        clearScreen();
    }

    // Start-up's screen, and a controller attached to COM3 (not yet opened).
    static void attachController() {
        standardScreen();
        portName = portNameFor(3);
        fake::addPort(portName);
    }

    // The same with the port open, as the dialogue leaves it.
    static void openAttachedPort() {
        attachController();
        installHandler(Handler::generalErrorReport);
        openPort();
    }

    // Runs an ending and returns how it ended.
    template <typename F>
    static RunEnd endOf(F&& step) {
        try {
            step();
        } catch (const RunEnd& end) {
            return end;
        }
        ADD_FAILURE() << "the run did not end";
        return RunEnd{-1, EndKind::fatal};
    }

    // Row text without trailing blanks.
    static std::string row(int r) {
        std::string text = screenRowText(r);
        text.erase(text.find_last_not_of(' ') + 1);
        return text;
    }
};
