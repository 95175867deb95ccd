#include "app/main_flow.h"

#include <cstdio>
#include <exception>
#include <new>

#include "app/command_line.h"
#include "app/port_selection.h"
#include "app/version.h"
#include "controller/prompt.h"
#include "controller/variant.h"
#include "ends/ends.h"
#include "ends/error_reports.h"
#include "ends/failure_paths.h"
#include "ends/upload_log.h"
#include "platform/console/console.h"
#include "platform/files/files.h"
#include "platform/serial/serial_link.h"
#include "runtime/errors.h"
#include "upload/upload.h"

namespace {

struct BannerLine {
    int column;  // 0: an empty line
    const char* text;
};

constexpr BannerLine bannerLines[] = {
    {4, "*** QRV.BAS PROGRAM FIX UPLOAD to KTX or RVB ***"},
    {21, "Version " FIXQRV_VERSION},
    {10, "Uploads the QRV program into the controller and checks every line."},
    {12, "Maintained by the FixQRV developers."},
    {0, ""},
    {4, "RESTRICTION:"},
    {0, ""},
    {6, "KTX or RVB must be connected to PC RS232 COM port 1-256."},
    {0, ""},
};

// Word 1 as a port number, written exactly as the table has it; 0 if not.
int portNumberOfWord(const Text& word) {
    for (int i = 1; i <= maxPortNumber; ++i)
        if (portNumberText[static_cast<std::size_t>(i)] == word) return i;
    return 0;
}

}  // namespace

void startUp(const Text& commandLine) {
    resetProgramState();
    commandText = upperCaseCommand(commandTailOf(commandLine));
    splitCommandLine();
    commandText.clear();
    setTitle("MERIDEX - FixQRV");
    setColors(14, 1);
    setScreenSize(80, 24);
    clearScreen();
}

void showBanner() {
    setColors(14, 1);
    clearScreen();
    newLine();
    for (const BannerLine& line : bannerLines) {
        if (line.column > 0) {
            padToColumn(line.column);
            printText(line.text);
        }
        newLine();
    }
}

void dispatchAndRun() {
    const Text& word = commandWords[1];
    if (const int number = portNumberOfWord(word); number > 0) {
        portNumber = number;
    } else if (word == "C") {
        // The remembered port is used without asking.
    } else if (word.empty()) {
        showBanner();
    } else {
        syntaxErrorExit();
    }
    selectPort();
    beginUploadLog(FIXQRV_VERSION);
    checkPrompt();
    speedMode = 1;
    checkPrompt();
    queryAndUpload();
}

void queryAndUpload() {
    // The query and the upload end the run themselves. When an error in
    // them is reported and the prompt is found again, the controller's state
    // is unknown: ask for the variant again and upload from the first line.
    for (;;) {
        try {
            runUnderHandlers([] {
                queryVariant();
                uploadProgram();
            });
        } catch (const Recheck& recheck) {
            installHandler(Handler::none);  // a failed close changes nothing now
            closeFile(uploadFileNumber);
            if (recheck.fromStart)
                checkPrompt();
            else
                recheckPrompt();
        }
    }
}

int runProgram(const Text& commandLine) {
    try {
        installLineExits();
        prepareConsole();
        startUp(commandLine);
        dispatchAndRun();
    } catch (const RunEnd& end) {
        installHandler(Handler::none);  // nothing left to report to
        if (end.kind == EndKind::fatal) noteErrorOutcome(lastErrorNumber(), "");
        closeAllFiles();
        closePort();  // the port as it was found, on every end
        restoreConsole(end.kind);
        writeUploadLog();
        return end.exitCode;
    } catch (const ErrorJump& jump) {
        // Every handler has a place that catches it; reaching here is a
        // programming error, reported after the terminal is back.
        installHandler(Handler::none);
        closePort();
        restoreConsole(EndKind::fatal);
        std::fprintf(stderr, "fixqrv: run-time error %d reached no handler\n", jump.number);
        noteErrorOutcome(jump.number, "reached no handler");
        writeUploadLog();
        return 255;
    } catch (const std::bad_alloc&) {
        // Out of memory with no handler in force: the error cannot be
        // dropped, as the statement that failed cannot go on.
        installHandler(Handler::none);
        closePort();
        restoreConsole(EndKind::fatal);
        std::fprintf(stderr, "fixqrv: out of memory\n");
        noteErrorOutcome(7, "out of memory");
        writeUploadLog();
        return 255;
    }
    return 0;
}
