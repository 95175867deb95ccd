// The port dialogue over the scripted keyboard and serial doubles, with the
// memory file in a fresh working directory per test.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "app/port_selection.h"
#include "support/program_fixture.h"
#include "support/temp_directory.h"
#include "support/test_names.h"

namespace {

namespace fs = std::filesystem;

std::string prompt(const std::string& shown) {
    return "Which PC COM port (1-256, Esc key to end) [" + shown + "]?";
}

const std::string mustBe = "Must be 1-256!";
const std::string problem = "Problem with COM port or port number!";

class PortSelectionTest : public ProgramTest {
protected:
    void SetUp() override {
        ProgramTest::SetUp();
        standardScreen();
    }
    void TearDown() override {
        ProgramTest::TearDown();
        if (lockHolder >= 0) ::close(lockHolder);
    }

    static void remember(const std::string& bytes) { TempDirectory::write(portMemoryFileName, bytes); }
    static std::string memory() {
        if (!fs::exists(portMemoryFileName)) return "(none)";
        return TempDirectory::read(portMemoryFileName);
    }

    // Runs the dialogue as the main flow enters it for word 1 of the command
    // line; the RunEnd when it ended the run instead of returning.
    std::optional<RunEnd> select(const std::string& word = "") {
        commandWords[1] = word;
        if (!word.empty() && word != "C") portNumber = std::stoi(word);
        fake::endKeyboard();
        try {
            selectPort();
        } catch (const RunEnd& end) {
            return end;
        }
        return std::nullopt;
    }

    TempDirectory workingDirectory;
    int lockHolder = -1;
};

TEST_F(PortSelectionTest, NoMemoryOffersNoDefaultAndEnterAloneIsRefused) {
    fake::addPort("COM7");
    moveCursor(11, 1);  // below the start screen
    fake::typeText("\r7\r");
    ASSERT_FALSE(select());
    EXPECT_EQ(row(11), prompt(""));
    EXPECT_EQ(row(12), mustBe);
    EXPECT_EQ(row(13), prompt("") + " 7");
    EXPECT_EQ(portName, "COM7");
    EXPECT_EQ(memory(), "7\r\n");
    EXPECT_EQ(fake::openedName(), "COM7");
    EXPECT_FALSE(fake::portOpen());
}

class PortRemembered : public PortSelectionTest, public testing::WithParamInterface<std::string> {};

TEST_P(PortRemembered, IsTrustedWithoutRewriteOrProbe) {
    remember("3\r\nsecond line\r\n");
    fake::addPort("COM3");
    if (GetParam().empty()) fake::typeText("\r");
    ASSERT_FALSE(select(GetParam()));
    EXPECT_EQ(row(1), GetParam().empty() ? prompt("3") : "");
    EXPECT_EQ(portNumber, 3);
    EXPECT_EQ(portName, "COM3");
    EXPECT_EQ(fake::openCount(), 0);
    EXPECT_EQ(memory(), "3\r\nsecond line\r\n");
    EXPECT_EQ(handlerInForce(), Handler::none);
}
std::string wordName(const std::string& word) { return word.empty() ? "NoWord" : "Word_" + testNameOf(word); }

INSTANTIATE_TEST_SUITE_P(AtPromptAndWithC, PortRemembered, testing::Values("", "C"),
                         [](const testing::TestParamInfo<std::string>& info) { return wordName(info.param); });

struct Typed {
    std::string text;
    int port;
    std::string name;
};

void PrintTo(const Typed& t, std::ostream* out) { *out << '"' << t.text << '"'; }

class PortTyped : public PortSelectionTest, public testing::WithParamInterface<Typed> {};

TEST_P(PortTyped, IsNamedRememberedAsTypedAndProbed) {
    const Typed& typed = GetParam();
    remember("3\r\n");
    fake::addPort(typed.name);
    fake::typeText(typed.text + "\r");
    ASSERT_FALSE(select());
    EXPECT_EQ(portNumber, typed.port);
    EXPECT_EQ(portName, typed.name);
    EXPECT_EQ(memory(), typed.text + "\r\n");
    EXPECT_EQ(fake::openCount(), 1);
    EXPECT_EQ(fake::openedName(), typed.name);
    EXPECT_FALSE(fake::portOpen());
    EXPECT_EQ(handlerInForce(), Handler::probe);  // until the dialogue installs its own
}
INSTANTIATE_TEST_SUITE_P(Texts, PortTyped,
                         testing::Values(Typed{"7", 7, "COM7"}, Typed{"12", 12, "\\\\.\\COM12"},
                                         Typed{"2.5", 2, "COM2"}, Typed{"3.5", 4, "COM4"},
                                         Typed{"7abc", 7, "COM7"}, Typed{" 256", 256, "\\\\.\\COM256"}),
                         [](const testing::TestParamInfo<Typed>& info) {
                             return "Typed_" + testNameOf(info.param.text);
                         });

TEST_F(PortSelectionTest, NumbersOutsideTheRangeAskAgain) {
    fake::addPort("COM7");
    fake::typeText("abc\r0\r257\r300\r\r7\r");  // Enter alone keeps the 300
    ASSERT_FALSE(select());
    const std::string answers[] = {" abc", " 0", " 257", " 300", ""};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(row(2 * i + 1), prompt("") + answers[i]);
        EXPECT_EQ(row(2 * i + 2), mustBe);
    }
    EXPECT_EQ(row(11), prompt("") + " 7");
    EXPECT_EQ(portName, "COM7");
}

TEST_F(PortSelectionTest, BackspaceTakesBackOneByteAndNothingOnAnEmptyLine) {
    fake::addPort("COM1");
    fake::typeText("\b12\b\r");
    ASSERT_FALSE(select());
    EXPECT_EQ(row(1), prompt("") + " 1");
    EXPECT_EQ(operatorLine, "1");
    EXPECT_EQ(memory(), "1\r\n");
}

class PortLineWrapped : public PortSelectionTest, public testing::WithParamInterface<int> {};

// The prompt fills 46 columns, so the 34th byte lands in the last column;
// on the bottom row the cursor then waits there with a wrap pending.
TEST_P(PortLineWrapped, BackspaceReachesTheLastColumn) {
    fake::addPort("COM8");
    moveCursor(GetParam(), 1);
    const std::string blanks(33, ' ');
    fake::typeText(blanks + "7\b8\r");
    ASSERT_FALSE(select());
    EXPECT_EQ(operatorLine, blanks + "8");
    EXPECT_EQ(memory(), blanks + "8\r\n");
    int promptRow = 1;
    while (promptRow < 24 && row(promptRow).empty()) ++promptRow;
    EXPECT_EQ(screenRowText(promptRow), prompt("") + " " + blanks + "8");
    EXPECT_EQ(row(promptRow + 1), "");
}
INSTANTIATE_TEST_SUITE_P(Rows, PortLineWrapped, testing::Values(11, 24),
                         [](const testing::TestParamInfo<int>& info) { return "Row" + std::to_string(info.param); });

TEST_F(PortSelectionTest, CommandCWithAnUnusableMemoryRefusesThenAsks) {
    remember("25\r\n");
    fake::addPort("COM7");
    fake::typeText("7\r");
    ASSERT_FALSE(select("C"));
    EXPECT_EQ(row(1), mustBe);
    EXPECT_EQ(row(2), prompt("") + " 7");
    EXPECT_EQ(portName, "COM7");
}

struct Untyped {
    std::string word;
    std::string memoryBefore;
    std::string keys;
    std::string firstRow;
    std::string name;
    std::string memoryAfter;
};

void PrintTo(const Untyped& u, std::ostream* out) { *out << "word \"" << u.word << '"'; }

class PortUntyped : public PortSelectionTest, public testing::WithParamInterface<Untyped> {};

// No typed text to remember: the number's digits, never an empty line.
TEST_P(PortUntyped, IsRememberedAsItsDigits) {
    const Untyped& u = GetParam();
    remember(u.memoryBefore);
    fake::addPort(u.name);
    fake::typeText(u.keys);
    ASSERT_FALSE(select(u.word));
    EXPECT_EQ(row(1), u.firstRow);
    EXPECT_EQ(portName, u.name);
    EXPECT_EQ(fake::openedName(), u.name);
    EXPECT_EQ(memory(), u.memoryAfter);
}
INSTANTIATE_TEST_SUITE_P(
    Sources, PortUntyped,
    testing::Values(Untyped{"", "25\r\n", "\r", prompt(""), "\\\\.\\COM25", "25\r\n"},
                    Untyped{"C", "2.5\r\n", "", "", "COM2", "2\r\n"},
                    Untyped{"12", "3\r\n", "", "", "\\\\.\\COM12", "12\r\n"}),
    [](const testing::TestParamInfo<Untyped>& info) { return wordName(info.param.word); });

TEST_F(PortSelectionTest, FailedProbeAsksAgainAndEnterAloneRetriesIt) {
    remember("3\r\n");
    fake::holdPort("COM9");
    fake::addPort("COM7");
    fake::typeText("9\r\r7\r");
    ASSERT_FALSE(select());
    EXPECT_EQ(row(1), prompt("3") + " 9");
    EXPECT_EQ(row(2), problem);
    EXPECT_EQ(row(3), prompt("3"));  // still the default read at the start
    EXPECT_EQ(row(4), problem);
    EXPECT_EQ(row(5), prompt("3") + " 7");
    EXPECT_EQ(portName, "COM7");
    EXPECT_EQ(memory(), "7\r\n");
    EXPECT_EQ(fake::openCount(), 1);
}

TEST_F(PortSelectionTest, CommandLineNumberThatFailsItsProbeShowsThePrompt) {
    fake::addPort("COM7");
    fake::typeText("7\r");
    ASSERT_FALSE(select("12"));
    EXPECT_EQ(row(1), problem);
    EXPECT_EQ(row(2), prompt("") + " 7");
    EXPECT_EQ(portName, "COM7");
    EXPECT_EQ(memory(), "7\r\n");
}

TEST_F(PortSelectionTest, EscClearsTheScreenAndEndsAtOnce) {
    remember("3\r\n");
    fake::addPort("COM12");
    moveCursor(11, 1);
    fake::typeText("12");
    fake::pressKey("\x1b", fake::now() + 1);
    fake::captureAtNextWait();
    const auto end = select();
    ASSERT_TRUE(end);
    EXPECT_EQ(end->kind, EndKind::immediate);
    EXPECT_EQ(end->exitCode, 0);
    EXPECT_EQ(fake::capturedRow(11), prompt("3") + " 12");
    EXPECT_EQ(row(11), "");
    EXPECT_EQ(cursorRow(), 1);
    EXPECT_EQ(memory(), "3\r\n");
    EXPECT_EQ(fake::openCount(), 0);
}

enum class Unusable { missing, empty, ctrlZ, locked, directory };

void PrintTo(Unusable u, std::ostream* out) {
    static const char* const names[] = {"missing", "empty", "Ctrl-Z first", "locked", "a directory"};
    *out << names[static_cast<int>(u)];
}

std::string unusableName(const testing::TestParamInfo<Unusable>& info) {
    static const char* const names[] = {"Missing", "Empty", "CtrlZFirst", "Locked", "Directory"};
    return names[static_cast<int>(info.param)];
}

class PortMemoryUnusable : public PortSelectionTest, public testing::WithParamInterface<Unusable> {};

// Nothing is said, nothing stays open, and a memory that cannot be written
// on the first attempt does not stop the port from being used.
TEST_P(PortMemoryUnusable, GivesAnEmptyDefaultSilently) {
    switch (GetParam()) {
        case Unusable::missing: break;
        case Unusable::empty: remember(""); break;
        case Unusable::ctrlZ: remember("\x1a" "5\r\n"); break;
        case Unusable::locked:
            remember("5\r\n");
            lockHolder = ::open(portMemoryFileName, O_RDONLY);
            ASSERT_EQ(::flock(lockHolder, LOCK_EX), 0);
            break;
        case Unusable::directory: fs::create_directory(portMemoryFileName); break;
    }
    fake::addPort("COM7");
    fake::typeText("7\r");
    ASSERT_FALSE(select());
    EXPECT_EQ(row(1), prompt("") + " 7");
    EXPECT_EQ(row(2), "");
    EXPECT_EQ(portName, "COM7");
    EXPECT_EQ(fake::openCount(), 1);
    EXPECT_FALSE(fileNumberInUse(portFileNumber));
}
INSTANTIATE_TEST_SUITE_P(Kinds, PortMemoryUnusable,
                         testing::Values(Unusable::missing, Unusable::empty, Unusable::ctrlZ,
                                         Unusable::locked, Unusable::directory),
                         unusableName);

// The memory opens but takes no bytes: even after a failed probe that is
// no reason to refuse a good port, and the half-written file must not keep
// the port's number busy.
TEST_F(PortSelectionTest, UnwritableMemoryNeverRefusesAGoodPort) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    fs::create_symlink("/dev/full", portMemoryFileName);
    fake::addPort("COM7");
    fake::typeText("7\r");
    ASSERT_FALSE(select("12"));
    EXPECT_EQ(row(1), problem);
    EXPECT_EQ(row(2), prompt("") + " 7");
    EXPECT_EQ(portName, "COM7");
    EXPECT_EQ(fake::openCount(), 1);
    EXPECT_FALSE(fileNumberInUse(portFileNumber));
}

}  // namespace
