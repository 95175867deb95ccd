#include "upload/upload.h"

#include "ends/ends.h"
#include "ends/failure_paths.h"
#include "ends/upload_log.h"
#include "exchange/send_line.h"
#include "platform/console/console.h"
#include "platform/files/files.h"
#include "platform/serial/serial_link.h"
#include "runtime/errors.h"
#include "runtime/program_state.h"
#include "upload/progress.h"

namespace {

// The closing exchange's open-ended waits get an overall bound, so a
// controller that chatters forever cannot hold the run.
constexpr double promptBound = 20;
constexpr double runOutputBound = 60;

// With no keyboard left nobody acknowledges a mismatch, and an echo spoiled
// on every pass would restart the upload for ever.
constexpr int maxUnattendedMismatches = 3;

// Shows both texts, waits for Enter and opens the file again at its start.
void reportMismatch() {
    beep();
    printText("ERROR:  ECHOED LINE NOT EQUAL TO LINE SENT!");
    newLine();
    printText(replyLine);
    newLine();
    printText(sentLine);
    newLine();
    printText("Press Enter.");
    readKeyboardLine();
    closeFile(uploadFileNumber);
    openTextFile(uploadFileName, uploadFileNumber);
    uploadFileSize = fileSize(uploadFileNumber);
    linesSent = 0;
    bytesSent = 0;
}

// One pass over the file; false when a line's echo differed.
bool uploadPass() {
    noteUploadPass();
    drawProgressBox();
    pause(2000);
    drainInput();
    pause(1000);
    drainInput();
    installHandler(Handler::generalErrorReport);
    while (!atEndOfFile(uploadFileNumber)) {
        commandText = readTextLine(uploadFileNumber);
        sentLine = commandText;
        ++linesSent;
        bytesSent += static_cast<std::int64_t>(sentLine.size()) + 2;
        updateProgress();
        sendLineWithEcho();
        if (replyLine != sentLine) return false;
        noteLineVerified();
    }
    return true;
}

}  // namespace

void uploadProgram() {
    int unattendedMismatches = 0;
    while (!uploadPass()) {
        reportMismatch();
        if (keyboardEnded() && ++unattendedMismatches >= maxUnattendedMismatches) uploadFailed();
    }
    closeFile(uploadFileNumber);
    finishUpload();
}

void finishUpload() {
    pause(4000);
    commandText.clear();
    sendLineWithEcho();
    lineTimeout = 4;
    const double promptStart = startInstant();
    do {
        if (secondsSince(promptStart) > promptBound) uploadFailed();
        receiveLine();
    } while (replyLine != ">");

    commandText = "RUN";
    sendLineWithEcho();
    const double runStart = startInstant();
    do {
        receiveLine();
    } while (gotLine == 1 && secondsSince(runStart) <= runOutputBound);

    commandText = "M";
    sendLineWithEcho();
    const double memoryStart = startInstant();
    do {
        if (secondsSince(memoryStart) > 5) uploadFailed();
        receiveLine();
    } while (replyLine.empty() || replyLine[0] != '*');

    commandText = "10";
    sendLineWithEcho();
    clearRowSix();
    constexpr char completed[] = "QRV.BAS Upload Completed.";
    printText(completed);
    newLine();
    noteRunOutcome(RunOutcome::completed, completed);
    pause(2000);
    closingSequence();
}
