// The upload log: the row each way of ending a run writes, field by field;
// the CSV form of the controller's bytes; where the file goes; and that a
// log which cannot be written changes nothing else. Whole runs in-process
// over the doubles, the log on real files in temporary folders.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "app/main_flow.h"
#include "app/version.h"
#include "ends/upload_log.h"
#include "platform/console/clock_seam.h"
#include "platform/files/upload_log_seam.h"
#include "support/controller_script.h"
#include "support/program_fixture.h"
#include "support/temp_directory.h"
#include "support/test_names.h"

namespace {

namespace fs = std::filesystem;

const std::string program = "10 REM LOGGER\r\n20 PRINT \"HI\"\r\n30 GOTO 20\r\n";

enum Column { start, end, port, device, variant, file, size, verified, lines, passes, outcome, error, message, version,
              columnCount };

// The fields of one CSV line without its line end, quotes undone.
std::vector<std::string> csvFields(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
            fields.back() += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

std::string contentsOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The lines of a log, each without its CR LF; the last must end with one.
std::vector<std::string> logLines(const fs::path& path) {
    const std::string text = contentsOf(path);
    std::vector<std::string> result;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find("\r\n", from)) != std::string::npos; from = at + 2)
        result.push_back(text.substr(from, at - from));
    EXPECT_EQ(from, text.size()) << "the log ends in the middle of a row";
    return result;
}

std::string timeText(CalendarTime time) {
    char text[localTimeLength + 1];
    formatLocalTime(time, text);
    return text;
}

// A folder for the log, outside the working directory; removed afterwards.
class LogFolder {
public:
    LogFolder() {
        char pattern[] = "/tmp/fixqrv-log-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~LogFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    LogFolder(const LogFolder&) = delete;
    LogFolder& operator=(const LogFolder&) = delete;
    fs::path operator/(const std::string& name) const { return path_ / name; }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Calls `step` once, at the first wait while row 2 shows that the upload
// has come to its second line.
void atTheSecondLine(std::function<void()> step) {
    fake::addWakeSource([step, done = false]() mutable {
        if (!done && screenRowText(2).rfind("Line: 2", 0) == 0) {
            done = true;
            step();
        }
        return -1.0;
    });
}

// FIXQRV_LOG for one test, "off" again afterwards.
void useLog(const std::string& value) { setenv("FIXQRV_LOG", value.c_str(), 1); }

class UploadLogTest : public ProgramTest {
protected:
    void TearDown() override {
        useLog("off");
        ProgramTest::TearDown();
    }

    // A fresh program with COM3 attached, as ProgramTest sets one up.
    void freshProgram() {
        TearDown();
        SetUp();
        fake::addPort("COM3");
    }

    // "fixqrv 3" from start to end; the exit code.
    static int runWhole() { return runProgram("fixqrv 3"); }

    TempDirectory workingDirectory;
    LogFolder logFolder;
};

struct Ending {
    const char* name;
    std::function<void()> arrange;
    bool cleared;  // closingSequence rather than endRun
    std::vector<std::string> fields;  // variant answer to message
};

void PrintTo(const Ending& e, std::ostream* out) { *out << e.name; }

const std::string programSize = std::to_string(program.size());
const std::string failedText =
    "QRV.BAS UPLOAD FAILED!  KTX or RVB not responding, not connected, or incorrect COM port specified.  "
    "Check and retry.";

const Ending endings[] = {
    {"completed", [] { TempDirectory::write("QRV1.BAS", program); fake::playController(); }, true,
     {" 1", "QRV1.BAS", programSize, "3", "3", "1", "completed", "", "QRV.BAS Upload Completed."}},
    {"operator_stop",
     [] {
         TempDirectory::write("QRV1.BAS", program);
         fake::playController();
         // Esc while the second line goes out: the first is verified.
         atTheSecondLine([] { fake::pressKey("\x1b"); });
     },
     true,
     {" 1", "QRV1.BAS", programSize, "1", "3", "1", "operator-stop", "",
      "ZIDURAD Terminated by Operator before Completion."}},
    {"upload_failed",
     [] {
         TempDirectory::write("QRV1.BAS", program);
         fake::ControllerScript script;
         script.silentFromLine = 4;  // after TIMER1 and the query, the second program line gets no echo
         fake::playController(script);
         fake::endKeyboard();
     },
     true, {" 1", "QRV1.BAS", programSize, "1", "3", "1", "upload-failed", "", "> / " + failedText}},
    {"not_responding",
     [] {
         fake::ControllerScript script;
         script.breakReply.clear();
         for (int i = 0; i < 45; ++i) script.breakReply += "NOISE\r\n";
         fake::playController(script);
         fake::endKeyboard();
     },
     true, {"", "", "", "0", "", "0", "not-responding", "", "NOISE / " + failedText}},
    {"invalid_password",
     [] {
         // Silent at the break; the wake-up's CR brings a password prompt,
         // then the controller gives up.
         fake::onByteSent([done = false](char c) mutable {
             if (c != '\r' || done) return;
             done = true;
             fake::controllerSends("Password: \r\nBYE!\r\n");
         });
     },
     false, {"", "", "", "0", "", "0", "invalid-password", "", "Invalid Password!"}},
    {"device_error",
     [] {
         TempDirectory::write("QRV1.BAS", program);
         fake::playController();
         // The line fails, and the controller says nothing to the report.
         atTheSecondLine([] {
             fake::lineErrorOnNextStatus();
             fake::onByteSent([](char) {});
         });
     },
     true, {" 1", "QRV1.BAS", programSize, "1", "3", "1", "error", "57", "ERROR:  57 DEVICE I/O ERROR!"}},
    {"missing_file",
     [] {
         fake::ControllerScript script;
         script.variantAnswer = "2";
         fake::playController(script);
         fake::endKeyboard();
     },
     true, {"2", "QRV2.BAS", "", "0", "", "0", "error", "53", "ERROR:  53 QRV1.BAS or QRV2.BAS Not Found!"}},
};

class EveryEnding : public UploadLogTest, public ::testing::WithParamInterface<Ending> {};

TEST_P(EveryEnding, WritesOneRowFieldByField) {
    const Ending& ending = GetParam();
    const fs::path log = logFolder / "state/fixqrv/uploads.csv";
    useLog(log.string());
    fake::addPort("COM3");
    ending.arrange();
    EXPECT_EQ(runWhole(), 0);
    EXPECT_TRUE(fake::restoredAs(ending.cleared ? EndKind::closing : EndKind::immediate));
    const std::string ended = timeText(clockCalendarNow());

    const auto rows = logLines(log);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0] + "\r\n", uploadRecordHeader);
    const auto fields = csvFields(rows[1]);
    ASSERT_EQ(fields.size(), static_cast<std::size_t>(columnCount)) << rows[1];
    EXPECT_EQ(fields[start], "2026-12-10T10:00:00+01:00");  // the port chosen at once
    EXPECT_EQ(fields[end], ended);
    EXPECT_GE(fields[end], fields[start]);
    EXPECT_EQ(fields[port], "COM3");
    EXPECT_EQ(fields[device], "/dev/fake/COM3");
    EXPECT_EQ(fields[version], FIXQRV_VERSION);
    const std::vector<std::string> middle(fields.begin() + variant, fields.begin() + version);
    EXPECT_EQ(middle, ending.fields);
}

INSTANTIATE_TEST_SUITE_P(Endings, EveryEnding, ::testing::ValuesIn(endings),
                         [](const ::testing::TestParamInfo<Ending>& info) { return std::string(info.param.name); });

// Runs that never reach the controller leave no row and no log.
TEST_F(UploadLogTest, NoRowWithoutADialogue) {
    const fs::path log = logFolder / "uploads.csv";
    useLog(log.string());
    fake::pressKey("\r", 1);
    EXPECT_EQ(runProgram("fixqrv X"), 0);  // syntax error
    freshProgram();
    fake::pressKey("\x1b", 1);
    EXPECT_EQ(runProgram("fixqrv"), 0);  // Esc at the port prompt
    EXPECT_FALSE(fs::exists(log));
}

TEST(UploadRecordRow, ControllerBytesMakeOneLineOfPrintableCsv) {
    resetUploadRecord();
    uploadRecord.started = CalendarTime{1796860800, -12600};  // 2026-12-10T00:00Z at UTC-03:30
    uploadRecord.port = "\\\\.\\COM12";
    uploadRecord.variantAnswer = std::string("2,\"x\"\r\n\xe9 ");
    uploadRecord.message = "ERROR:  57 DEVICE I/O ERROR!";
    const std::string row = uploadRecordRow(CalendarTime{1796860800 + 59, 20700});
    ASSERT_GE(row.size(), 2u);
    EXPECT_EQ(row.find_first_of("\r\n"), row.size() - 2);
    EXPECT_EQ(row.substr(row.size() - 2), "\r\n");
    for (std::size_t i = 0; i + 2 < row.size(); ++i) EXPECT_TRUE(row[i] >= 32 && row[i] < 127) << i;
    const auto fields = csvFields(row.substr(0, row.size() - 2));
    ASSERT_EQ(fields.size(), static_cast<std::size_t>(columnCount));
    EXPECT_EQ(fields[start], "2026-12-09T20:30:00-03:30");
    EXPECT_EQ(fields[end], "2026-12-10T05:45:59+05:45");
    EXPECT_EQ(fields[port], "\\\\.\\COM12");
    EXPECT_EQ(fields[variant], "2,\"x\"\\x0d\\x0a\\xe9 ");
    EXPECT_EQ(fields[size], "");  // unknown
    EXPECT_EQ(fields[message], "ERROR:  57 DEVICE I/O ERROR!");
}

struct Place {
    const char* name;
    const char* chosen;  // FIXQRV_LOG, nullptr: unset
    const char* state;   // XDG_STATE_HOME under the folder ("" unset; leading '=': as it stands)
    const char* expected;  // under the folder; nullptr: no log
};

void PrintTo(const Place& p, std::ostream* out) { *out << p.name; }

class LogPlace : public ::testing::TestWithParam<Place> {};

TEST_P(LogPlace, ChosenByTheEnvironment) {
    const Place& place = GetParam();
    LogFolder folder;
    const std::string home = getenv("HOME") ? getenv("HOME") : "";
    const char* state = getenv("XDG_STATE_HOME");
    const std::string stateBefore = state ? state : "";
    setenv("HOME", (folder / "home").c_str(), 1);
    if (*place.state == '\0')
        unsetenv("XDG_STATE_HOME");
    else if (*place.state == '=')
        setenv("XDG_STATE_HOME", place.state + 1, 1);
    else
        setenv("XDG_STATE_HOME", (folder / place.state).c_str(), 1);
    if (place.chosen == nullptr)
        unsetenv("FIXQRV_LOG");
    else
        useLog(*place.chosen == '/' ? (folder / (place.chosen + 1)).string() : std::string(place.chosen));

    const bool chosen = uploadLogChooseFile();
    uploadLogAppendRow("h\r\n", "r\r\n");
    setenv("HOME", home.c_str(), 1);
    if (state) setenv("XDG_STATE_HOME", stateBefore.c_str(), 1); else unsetenv("XDG_STATE_HOME");
    useLog("off");

    std::vector<std::string> written;
    for (const auto& entry : fs::recursive_directory_iterator(folder.path()))
        if (entry.is_regular_file()) written.push_back(fs::relative(entry.path(), folder.path()).string());
    EXPECT_EQ(chosen, place.expected != nullptr);
    if (place.expected == nullptr) {
        EXPECT_TRUE(written.empty());
        return;
    }
    EXPECT_EQ(written, std::vector<std::string>{place.expected});
    EXPECT_EQ(contentsOf(folder / place.expected), "h\r\nr\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Places, LogPlace,
    ::testing::Values(Place{"state_home", nullptr, "state", "state/fixqrv/uploads.csv"},
                      Place{"home", nullptr, "", "home/.local/state/fixqrv/uploads.csv"},
                      Place{"relative_state_home_ignored", nullptr, "=state", "home/.local/state/fixqrv/uploads.csv"},
                      Place{"chosen_file", "/chosen/records.csv", "state", "chosen/records.csv"},
                      Place{"empty_is_unset", "", "state", "state/fixqrv/uploads.csv"},
                      Place{"off", "off", "state", nullptr}, Place{"OFF", "OFF", "state", nullptr}),
    [](const ::testing::TestParamInfo<Place>& info) { return std::string(info.param.name); });

// What an operator or the controller could notice: every screen drawn,
// every byte sent, the virtual time the run took, its end, and the working
// directory.
struct Observed {
    int exitCode = -1;
    bool cleared = false;
    std::vector<std::string> screens;
    std::vector<std::string> writes;
    double seconds = 0;
    std::set<std::string> workingDirectory;

    bool operator==(const Observed&) const = default;
};

struct Scenario {
    const char* name;
    std::function<void()> arrange;
};

const Scenario scenarios[] = {
    {"completed", [] { TempDirectory::write("QRV1.BAS", program); fake::playController(); }},
    {"missing_file",
     [] {
         fake::ControllerScript script;
         script.variantAnswer = "2";
         fake::playController(script);
         fake::pressKey("\r", 30);
     }},
};

class LogsThatCannotBeWritten : public UploadLogTest, public ::testing::WithParamInterface<Scenario> {
protected:
    Observed observe(const std::string& log) {
        freshProgram();
        std::error_code ignored;
        fs::remove("COMMPORT.NUM", ignored);
        fs::remove("QRV1.BAS", ignored);
        useLog(log);
        GetParam().arrange();
        Observed seen;
        fake::addWakeSource([&seen] {
            std::string screen;
            for (int r = 1; r <= screenRows(); ++r) screen += screenRowText(r) + "\n";
            if (seen.screens.empty() || seen.screens.back() != screen) seen.screens.push_back(screen);
            return -1.0;
        });
        seen.exitCode = runWhole();
        seen.cleared = fake::restoredAs(EndKind::closing);
        seen.writes = fake::writes();
        seen.seconds = fake::now();
        for (const auto& entry : fs::directory_iterator(fs::current_path()))
            seen.workingDirectory.insert(entry.path().filename().string() + ":" + contentsOf(entry.path()));
        return seen;
    }
};

TEST_P(LogsThatCannotBeWritten, ChangeNothingElse) {
    const fs::path good = logFolder / "good.csv";
    const Observed expected = observe(good.string());
    ASSERT_EQ(logLines(good).size(), 2u);
    ASSERT_GT(expected.screens.size(), 3u);

    fs::create_directory(logFolder / "folder");
    TempDirectory::write((logFolder / "plain").string(), "not a folder");
    ASSERT_EQ(mkfifo((logFolder / "fifo").c_str(), 0600), 0);
    struct Log {
        const char* what;
        std::string value;
    };
    std::vector<Log> logs = {{"off", "off"},
                             {"a folder", (logFolder / "folder").string()},
                             {"under a plain file", (logFolder / "plain/uploads.csv").string()},
                             {"a FIFO without a reader", (logFolder / "fifo").string()}};
    if (geteuid() != 0) {  // root writes anyway
        TempDirectory::write((logFolder / "read-only.csv").string(), "");
        chmod((logFolder / "read-only.csv").c_str(), 0444);
        logs.push_back({"a read-only file", (logFolder / "read-only.csv").string()});
    }
    for (const Log& log : logs) {
        SCOPED_TRACE(log.what);
        EXPECT_TRUE(observe(log.value) == expected);
    }
    EXPECT_TRUE(fs::is_empty(logFolder / "folder"));
    EXPECT_EQ(contentsOf(logFolder / "plain"), "not a folder");

    // A FIFO with a reader gets nothing either.
    const int reader = open((logFolder / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_TRUE(observe((logFolder / "fifo").string()) == expected);
    char byte = 0;
    EXPECT_LE(read(reader, &byte, 1), 0);
    close(reader);
}

INSTANTIATE_TEST_SUITE_P(Runs, LogsThatCannotBeWritten, ::testing::ValuesIn(scenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

// Two runs ending at the same moment, the log not there yet: one header,
// two whole rows.
TEST(UploadLogFile, RunsEndingAtOnceLeaveOneHeaderAndWholeRows) {
    LogFolder folder;
    const std::string rows[2] = {std::string(3000, 'a') + "\r\n", std::string(3000, 'b') + "\r\n"};
    for (int round = 0; round < 20; ++round) {
        const fs::path log = folder / ("round" + std::to_string(round) + "/uploads.csv");
        useLog(log.string());
        int barrier[2];
        ASSERT_EQ(pipe(barrier), 0);
        pid_t children[2];
        for (int i = 0; i < 2; ++i) {
            children[i] = fork();
            ASSERT_GE(children[i], 0);
            if (children[i] == 0) {
                close(barrier[1]);
                uploadLogChooseFile();
                char go = 0;
                if (read(barrier[0], &go, 1) < 0) _exit(1);  // both go at the close below
                uploadLogAppendRow(uploadRecordHeader, rows[i]);
                _exit(0);
            }
        }
        close(barrier[0]);
        close(barrier[1]);
        for (const pid_t child : children) waitpid(child, nullptr, 0);
        const std::string text = contentsOf(log);
        const std::string header = uploadRecordHeader;
        EXPECT_TRUE(text == header + rows[0] + rows[1] || text == header + rows[1] + rows[0]) << "round " << round;
    }
    useLog("off");
}

// The fatal-signal handler writes the row kept ready, with the end time and
// the signal's name, and the signal still ends the process.
TEST(UploadLogFile, FatalSignalWritesTheReadyRow) {
    LogFolder folder;
    const fs::path log = folder / "uploads.csv";
    useLog(log.string());
    EXPECT_EXIT(
        {
            resetProgramState();
            fake::resetClock();
            portName = "COM3";
            beginUploadLog("9.99");
            replyLine = "2";
            noteVariantAnswer();
            uploadFileName = "QRV2.BAS";
            noteUploadFileChosen();
            uploadFileSize = 1234;
            noteUploadFileOpened();
            noteUploadPass();
            noteLineVerified();
            noteLineVerified();
            raise(SIGTERM);
        },
        ::testing::KilledBySignal(SIGTERM), "");
    useLog("off");
    const auto rows = logLines(log);
    ASSERT_EQ(rows.size(), 2u);
    const auto fields = csvFields(rows[1]);
    ASSERT_EQ(fields.size(), static_cast<std::size_t>(columnCount)) << rows[1];
    EXPECT_EQ(fields[start], "2026-12-10T10:00:00+01:00");
    EXPECT_EQ(fields[end].size(), localTimeLength);
    EXPECT_EQ(fields[end].substr(19), "+01:00");  // the offset kept from the start
    const std::vector<std::string> rest(fields.begin() + port, fields.end());
    const std::vector<std::string> expected = {
        "COM3", "/dev/fake/COM3", "2", "QRV2.BAS", "1234", "2", "", "1", "signal", "", "SIGTERM", "9.99"};
    EXPECT_EQ(rest, expected);
}

}  // namespace
