#include "upload/progress.h"

#include <cmath>

#include "platform/console/console.h"
#include "runtime/numeric_value.h"
#include "runtime/program_state.h"

namespace {
constexpr char horizontal = static_cast<char>(196);
constexpr char vertical = static_cast<char>(179);
constexpr char block = static_cast<char>(219);
}  // namespace

void drawProgressBox() {
    clearScreen();
    printText("Uploading " + uploadFileName + " to KTX or RVB...");
    newLine();
    moveCursor(3, 1);
    printText(static_cast<char>(218) + Text(78, horizontal) + static_cast<char>(191));
    printText(vertical + Text(78, ' ') + vertical);
    printText(static_cast<char>(192) + Text(78, horizontal) + static_cast<char>(217));
}

void updateProgress() {
    moveCursor(2, 1);
    // Single precision, as the fraction has always been kept.
    const float fraction =
        uploadFileSize > 0 ? static_cast<float>(bytesSent) / static_cast<float>(uploadFileSize) : 0.0f;
    printText("Line:");
    printNumber(linesSent);
    printText(" Percent Complete: ");
    printText(std::to_string(roundHalfEven(static_cast<double>(fraction) * 100.0)));
    const int column = static_cast<int>(std::floor(2.0 + static_cast<double>(fraction) * 77.0));
    moveCursor(4, column);
    printText(Text(1, block));
}
