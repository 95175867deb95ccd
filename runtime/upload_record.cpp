#include "runtime/upload_record.h"

#include <array>
#include <string>

UploadRecord uploadRecord;

const char uploadRecordHeader[] =
    "start,end,port,device,variant answer,file,file size,lines verified,lines in file,"
    "passes started,outcome,error,message,version\r\n";

void resetUploadRecord() { uploadRecord = UploadRecord{}; }

namespace {

// Days since 1970-01-01 to year, month and day of the proleptic Gregorian
// calendar (H. Hinnant's civil_from_days).
void civilFromDays(std::int64_t days, std::int64_t& year, int& month, int& day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
}

char* putDigits(char* out, std::int64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return out + width;
}

// The text of a count, or nothing when it is unknown (negative).
Text countField(std::int64_t value) { return value < 0 ? Text() : std::to_string(value); }

enum Column { start, end, port, device, variant, file, size, verified, lines, passes, outcome, error, message, version,
              columnCount };

std::array<Text, columnCount> fieldsOf(const UploadRecord& record) {
    std::array<Text, columnCount> fields;
    char time[localTimeLength + 1];
    formatLocalTime(record.started, time);
    fields[start] = time;
    fields[port] = csvField(visibleBytes(record.port));
    fields[device] = csvField(visibleBytes(record.device));
    fields[variant] = csvField(visibleBytes(record.variantAnswer));
    fields[file] = csvField(visibleBytes(record.fileName));
    fields[size] = countField(record.fileSize);
    fields[verified] = countField(record.linesVerified);
    fields[lines] = countField(record.linesInFile);
    fields[passes] = countField(record.passesStarted);
    fields[outcome] = outcomeWord(record.outcome);
    fields[error] = record.errorNumber > 0 ? std::to_string(record.errorNumber) : Text();
    fields[message] = csvField(visibleBytes(record.message, 512));
    fields[version] = csvField(visibleBytes(record.version));
    return fields;
}

Text joined(const std::array<Text, columnCount>& fields, int from, int to) {
    Text text;
    for (int i = from; i < to; ++i) {
        if (i > from) text += ',';
        text += fields[static_cast<std::size_t>(i)];
    }
    return text;
}

}  // namespace

void formatLocalTime(CalendarTime time, char* out) {
    const std::int64_t local = time.utcSeconds + time.utcOffsetSeconds;
    std::int64_t days = local / 86400;
    std::int64_t seconds = local % 86400;
    if (seconds < 0) {
        seconds += 86400;
        --days;
    }
    std::int64_t year = 0;
    int month = 0;
    int day = 0;
    civilFromDays(days, year, month, day);
    if (year < 0 || year > 9999) year = 0;  // not a clock this program meets
    char* p = putDigits(out, year, 4);
    *p++ = '-';
    p = putDigits(p, month, 2);
    *p++ = '-';
    p = putDigits(p, day, 2);
    *p++ = 'T';
    p = putDigits(p, seconds / 3600, 2);
    *p++ = ':';
    p = putDigits(p, seconds / 60 % 60, 2);
    *p++ = ':';
    p = putDigits(p, seconds % 60, 2);
    const int offsetMinutes = (time.utcOffsetSeconds < 0 ? -time.utcOffsetSeconds : time.utcOffsetSeconds) / 60;
    *p++ = time.utcOffsetSeconds < 0 ? '-' : '+';
    p = putDigits(p, offsetMinutes / 60 % 100, 2);
    *p++ = ':';
    p = putDigits(p, offsetMinutes % 60, 2);
    *p = '\0';
}

Text visibleBytes(const Text& bytes, std::size_t limit) {
    static constexpr char hex[] = "0123456789abcdef";
    Text shown;
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        const auto code = static_cast<unsigned char>(bytes[i]);
        if (code >= 32 && code < 127) {
            shown += static_cast<char>(code);
        } else {
            shown += "\\x";
            shown += hex[code >> 4];
            shown += hex[code & 15];
        }
    }
    if (bytes.size() > limit) shown += "...";
    return shown;
}

Text csvField(const Text& text) {
    const bool quoted = text.find_first_of(",\"\r\n") != Text::npos ||
                        (!text.empty() && (text.front() == ' ' || text.back() == ' '));
    if (!quoted) return text;
    Text field = "\"";
    for (const char c : text) {
        if (c == '"') field += '"';
        field += c;
    }
    return field + '"';
}

const char* outcomeWord(RunOutcome outcome) {
    switch (outcome) {
        case RunOutcome::completed: return "completed";
        case RunOutcome::operatorStop: return "operator-stop";
        case RunOutcome::uploadFailed: return "upload-failed";
        case RunOutcome::notResponding: return "not-responding";
        case RunOutcome::invalidPassword: return "invalid-password";
        case RunOutcome::error: return "error";
        case RunOutcome::signal: return "signal";
        case RunOutcome::none: break;
    }
    return "";
}

Text uploadRecordRow(CalendarTime ended) {
    auto fields = fieldsOf(uploadRecord);
    char time[localTimeLength + 1];
    formatLocalTime(ended, time);
    fields[end] = time;
    return joined(fields, start, columnCount) + "\r\n";
}

SignalRowParts signalRowParts() {
    UploadRecord record = uploadRecord;
    record.outcome = RunOutcome::signal;
    record.errorNumber = 0;
    const auto fields = fieldsOf(record);
    // Appended to a comma rather than prefixed: GCC's -O3 warns falsely
    // about a literal put before a string.
    Text middle(1, ',');
    middle += joined(fields, port, message);
    middle += ',';
    Text last(1, ',');
    last += fields[version];
    last += "\r\n";
    return SignalRowParts{fields[start] + ",", middle, last};
}
