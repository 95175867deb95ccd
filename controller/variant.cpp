#include "controller/variant.h"

#include <algorithm>

#include "ends/failure_paths.h"
#include "ends/upload_log.h"
#include "exchange/send_line.h"
#include "platform/console/console.h"
#include "platform/files/files.h"
#include "platform/serial/serial_link.h"
#include "runtime/errors.h"
#include "runtime/numeric_value.h"
#include "runtime/program_state.h"

void queryVariant() {
    drainInput();
    commandText = "? USING(##),CHR(CBY(7FECH))";
    if (!sendVerifiedLine()) {
        printText(replyLine);
        newLine();
        printText("Echoed Line Did Not Equal Line Sent!");
        newLine();
        notResponding();
    }
    lineTimeout = 1;
    receiveLine();
    noteVariantAnswer();
    variantNumber = static_cast<int>(
        std::clamp<std::int64_t>(roundHalfEven(numericValue(replyLine, Exponent::accepted)), -32768, 32767));
    uploadFileName = variantNumber == 2 ? "QRV2.BAS" : "QRV1.BAS";
    noteUploadFileChosen();
    installHandler(Handler::fileErrorReport);
    openTextFile(uploadFileName, uploadFileNumber);
    uploadFileSize = fileSize(uploadFileNumber);
    noteUploadFileOpened();
    linesSent = 0;
    bytesSent = 0;
}
