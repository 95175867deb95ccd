#include "runtime/program_state.h"

#include "runtime/errors.h"
#include "runtime/upload_record.h"

std::array<Text, maxPortNumber + 1> portNumberText;
std::array<Text, commandWordCount + 1> commandWords;
int portNumber = 0;
Text portName;
Text rememberedPortText;
Text operatorLine;

Text commandText;
Text replyLine;
Text lastChar;
int lastCode = -1;
int gotLine = 0;
int lineTimeout = 1;
LineSettings lineSettings{};

int speedMode = 0;
int failureCount = 0;
int dialogueMisses = 0;
int dialogueRechecks = 0;
int variantNumber = 0;

Text uploadFileName;
std::int64_t uploadFileSize = 0;
int linesSent = 0;
std::int64_t bytesSent = 0;
Text sentLine;

void resetProgramState() {
    portNumberText[0].clear();
    for (int i = 1; i <= maxPortNumber; ++i) portNumberText[i] = std::to_string(i);
    for (auto& word : commandWords) word.clear();
    portNumber = 0;
    portName.clear();
    rememberedPortText.clear();
    operatorLine.clear();
    commandText.clear();
    replyLine.clear();
    lastChar.clear();
    lastCode = -1;
    gotLine = 0;
    lineTimeout = 1;
    lineSettings = LineSettings{9600, 8, false, 1, 128, 65536, true};
    speedMode = 0;
    failureCount = 0;
    dialogueMisses = 0;
    dialogueRechecks = 0;
    variantNumber = 0;
    uploadFileName.clear();
    uploadFileSize = 0;
    linesSent = 0;
    bytesSent = 0;
    sentLine.clear();
    resetUploadRecord();
    resetErrorState();
}
