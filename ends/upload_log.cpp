#include "ends/upload_log.h"

#include <new>
#include <string>

#include "platform/console/clock_seam.h"
#include "platform/files/files.h"
#include "platform/files/upload_log_seam.h"
#include "platform/serial/serial_seam.h"

namespace {

// The log must not change the run: a note that cannot be kept for want of
// memory is dropped instead of becoming the run's error 7.
template <typename Step>
void quietly(Step&& step) {
    try {
        step();
    } catch (const std::bad_alloc&) {
    }
}

// Keeps the row that a fatal end would write up to date.
void prepareFatalEnd() {
    if (uploadRecord.logging)
        uploadLogPrepareFatalEnd(uploadRecordHeader, signalRowParts(), uploadRecord.started.utcOffsetSeconds);
}

}  // namespace

void beginUploadLog(const char* version) {
    quietly([version] {
        uploadRecord.begun = true;
        uploadRecord.started = clockCalendarNow();
        uploadRecord.port = portName;
        uploadRecord.device = serialSeamDevicePath(portName);
        uploadRecord.version = version;
        uploadRecord.logging = uploadLogChooseFile();
        prepareFatalEnd();
    });
}

void noteVariantAnswer() {
    quietly([] {
        uploadRecord.variantAnswer = replyLine;
        prepareFatalEnd();
    });
}

void noteUploadFileChosen() {
    quietly([] {
        uploadRecord.fileName = uploadFileName;
        uploadRecord.fileSize = -1;
        uploadRecord.linesInFile = uploadRecord.logging ? countTextLines(uploadFileName) : -1;
        prepareFatalEnd();
    });
}

void noteUploadFileOpened() {
    quietly([] {
        uploadRecord.fileSize = uploadFileSize;
        prepareFatalEnd();
    });
}

void noteUploadPass() {
    quietly([] {
        ++uploadRecord.passesStarted;
        uploadRecord.linesVerified = 0;
        prepareFatalEnd();
    });
}

void noteLineVerified() {
    quietly([] {
        ++uploadRecord.linesVerified;
        prepareFatalEnd();
    });
}

void noteRunOutcome(RunOutcome outcome, const char* message, const Text& shownFirst) {
    quietly([&] {
        uploadRecord.outcome = outcome;
        uploadRecord.errorNumber = 0;
        uploadRecord.message = shownFirst.empty() ? Text(message) : shownFirst + " / " + message;
    });
}

void noteErrorOutcome(int errorNumber, const char* words) {
    quietly([&] {
        uploadRecord.outcome = RunOutcome::error;
        uploadRecord.errorNumber = errorNumber;
        uploadRecord.message = Text("ERROR:  ").append(std::to_string(errorNumber));
        if (*words != '\0') uploadRecord.message += Text(" ") + words;
    });
}

void writeUploadLog() {
    if (!uploadRecord.begun || !uploadRecord.logging) return;
    quietly([] { uploadLogAppendRow(uploadRecordHeader, uploadRecordRow(clockCalendarNow())); });
}
