// What an upload costs: FixQRV in a pseudo-terminal uploads a generated
// program into fixqrv-sim, and the benchmark prints
//   - the upload time, from the first program line the controller stored to
//     the last (the simulator's own clock, from its log);
//   - the least time the same protocol needs on the same simulated line: an
//     ideal sender that reacts at once, played against the simulator's
//     controller model in virtual time;
//   - their ratio;
//   - FixQRV's processor time over the upload (from /proc/<pid>/schedstat);
//   - the bytes FixQRV wrote to its terminal (80 x 25), per uploaded
//     character;
//   - with --strace, FixQRV's system calls per uploaded character, counted
//     by perf stat (or, without perf, by strace -c -f), the calls of a run
//     of the first ten lines taken off, so that start, dialogue and end do
//     not count.
//
//   bench_upload_cost [--lines N] [--one-line CHARS] [--latency MS] [--unpaced] [--runs N] [--strace]
//                     [--bare] [--fixqrv PATH] [--sim PATH]
//
// --one-line uploads a single line of that many characters instead (it must
// go out within the line's 5 s: unpaced, or short).
// --bare measures bench_bare_sender instead of FixQRV: the protocol alone,
// the least any sender of it costs on this machine.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tools/controller-sim/least_time.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
    int lines = 1000;
    int oneLine = 0;  // characters of a program of one line; 0: --lines
    int latencyMs = 0;
    bool paced = true;
    bool strace = false;
    int runs = 1;
    std::string fixqrv = FIXQRV_BIN;
    std::string sim = FIXQRV_SIM_BIN;
};

// Lines of 10 to 60 characters, 32 on average, numbered like the real ones.
std::vector<std::string> generateProgram(int count) {
    std::vector<std::string> lines;
    unsigned state = 12345;
    for (int i = 1; i <= count; ++i) {
        state = state * 1103515245u + 12345u;
        std::string line = std::to_string(i * 10) + " REM ";
        const std::size_t length = 10 + (state >> 16) % 45;
        for (std::size_t k = 0; line.size() < length; ++k) line += static_cast<char>('A' + (i + k) % 26);
        lines.push_back(line);
    }
    return lines;
}

void writeProgram(const fs::path& path, const std::vector<std::string>& lines) {
    std::ofstream out(path, std::ios::binary);
    for (const auto& line : lines) out << line << "\r\n";
}

// The least time the same protocol needs on the same simulated line.
double leastSeconds(const std::vector<std::string>& lines, const Options& options) {
    sim::Behaviour behaviour;
    behaviour.baudPacing = options.paced;
    behaviour.latencyMs = options.latencyMs;
    return sim::leastUploadSeconds(lines, behaviour);
}

// Times of the program lines in the simulator's log, "<seconds> program ...".
double uploadSeconds(const fs::path& log) {
    std::ifstream in(log);
    std::string line;
    std::optional<double> first;
    double last = 0;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        double at = 0;
        std::string tag;
        if (words >> at >> tag && tag == "program") {
            if (!first) first = at;
            last = at;
        }
    }
    return first ? last - *first : 0;
}

// Processor seconds a process has run, to the nanosecond.
double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    double nanoseconds = 0;
    in >> nanoseconds;
    return nanoseconds / 1e9;
}

// The simulator's child: FixQRV (or strace running it).
pid_t childOf(pid_t parent) {
    std::ifstream in("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
    pid_t child = 0;
    in >> child;
    return child;
}

// The received file's size, looked at every 10 ms: a stat, not a read, so
// that watching costs the machine next to nothing.
std::uintmax_t sizeOf(const fs::path& file) {
    std::error_code error;
    const auto size = fs::file_size(file, error);
    return error ? 0 : size;
}

struct Run {
    double uploadSeconds = 0;
    double cpuSeconds = 0;
    double wallSeconds = 0;  // the same stretch on this side, for the share
    bool completed = false;
    std::uintmax_t terminalBytes = 0;
};

// One whole run of the simulator starting `command` in a pseudo-terminal of
// 80 x 25, the console's output read and thrown away.
Run runOnce(const fs::path& dir, const std::vector<std::string>& command, const Options& options,
            std::uintmax_t receivedSize) {
    std::vector<std::string> args = {options.sim, "--exit-after-upload", "--log", (dir / "log.txt").string(),
                                     "--received", (dir / "received.txt").string()};
    if (options.paced) args.push_back("--baud-pacing");
    if (options.latencyMs > 0) {
        args.push_back("--latency");
        args.push_back(std::to_string(options.latencyMs));
    }
    args.push_back("--");
    args.insert(args.end(), command.begin(), command.end());

    winsize size{};
    size.ws_row = 25;
    size.ws_col = 80;
    int console = -1;
    const pid_t sim = forkpty(&console, nullptr, nullptr, &size);
    if (sim < 0) return {};
    if (sim == 0) {
        if (chdir(dir.c_str()) != 0) _exit(127);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }

    Run run;
    pid_t fixqrv = 0;
    double cpuAtStart = 0;
    Clock::time_point wallAtStart;
    bool started = false;
    const auto giveUp = Clock::now() + std::chrono::seconds(300);
    for (;;) {
        pollfd p{console, POLLIN, 0};
        if (poll(&p, 1, 10) > 0) {
            char buffer[4096];
            const ssize_t n = read(console, buffer, sizeof buffer);
            if (n <= 0) break;  // the terminal is gone: all ended
            run.terminalBytes += static_cast<std::uintmax_t>(n);
        }
        if (!fixqrv) fixqrv = childOf(sim);
        if (fixqrv && !run.completed) {
            const std::uintmax_t received = sizeOf(dir / "received.txt");
            if (!started && received > 0) {
                started = true;
                cpuAtStart = cpuSeconds(fixqrv);
                wallAtStart = Clock::now();
            } else if (started && received >= receivedSize) {
                run.completed = true;
                run.cpuSeconds = cpuSeconds(fixqrv) - cpuAtStart;
                run.wallSeconds = std::chrono::duration<double>(Clock::now() - wallAtStart).count();
            }
        }
        if (Clock::now() > giveUp) {
            kill(sim, SIGTERM);
            break;
        }
    }
    int status = 0;
    waitpid(sim, &status, 0);
    close(console);
    run.uploadSeconds = uploadSeconds(dir / "log.txt");
    return run;
}

// The "total" row of strace -c: the calls of the whole run.
long straceTotal(const fs::path& summary) {
    std::ifstream in(summary);
    std::string line;
    long total = -1;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string s; words >> s;) w.push_back(s);
        if (!w.empty() && w.back() == "total" && w.size() >= 4) total = std::atol(w[w.size() - 3].c_str());
    }
    return total;
}

// The count of raw_syscalls:sys_enter in perf stat's -x, output.
long perfTotal(const fs::path& summary) {
    std::ifstream in(summary);
    std::string line;
    while (std::getline(in, line))
        if (line.find("raw_syscalls:sys_enter") != std::string::npos && !line.empty() && std::isdigit(line[0]))
            return std::atol(line.c_str());
    return -1;
}

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--lines" && (v = value())) options.lines = std::atoi(v);
        else if (a == "--one-line" && (v = value())) options.oneLine = std::atoi(v);
        else if (a == "--latency" && (v = value())) options.latencyMs = std::atoi(v);
        else if (a == "--unpaced") options.paced = false;
        else if (a == "--strace") options.strace = true;
        else if (a == "--runs" && (v = value())) options.runs = std::atoi(v);
        // Absolute: the runs start in a folder of their own.
        else if (a == "--fixqrv" && (v = value())) options.fixqrv = fs::absolute(v).string();
        else if (a == "--sim" && (v = value())) options.sim = fs::absolute(v).string();
        else if (a == "--bare") options.fixqrv = FIXQRV_BARE_BIN;
        else return false;
    }
    return (options.lines > 1 || options.oneLine > 0) && options.runs >= 1;
}

// What the received file holds once the controller has stored every line.
std::uintmax_t storedSize(const std::vector<std::string>& lines) {
    std::uintmax_t size = 0;
    for (const auto& line : lines) size += line.size() + 2;
    return size;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr, "usage: bench_upload_cost [--lines N] [--one-line CHARS] [--latency MS] [--unpaced]"
                             " [--runs N] [--strace]"
                             " [--bare]"
                             " [--fixqrv PATH] [--sim PATH]\n");
        return 2;
    }
    const fs::path dir = fs::temp_directory_path() / ("fixqrv-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    // Benchmark runs are no uploads to keep in the user's log, unless asked.
    setenv("FIXQRV_LOG", "off", 0);
    auto lines = generateProgram(options.lines);
    if (options.oneLine > 0) {
        std::string line = "10 REM ";
        while (line.size() < static_cast<std::size_t>(options.oneLine)) line += static_cast<char>('A' + line.size() % 26);
        lines = {line};
    }
    writeProgram(dir / "QRV1.BAS", lines);
    writeProgram(dir / "QRV2.BAS", lines);
    std::size_t characters = 0;
    for (const auto& line : lines) characters += line.size() + 1;  // and its CR

    std::printf("%zu lines, %zu characters, %s, latency %d ms\n", lines.size(), characters,
                options.paced ? "19200 baud paced" : "unpaced", options.latencyMs);
    const double least = leastSeconds(lines, options);
    // Each run on a line of its own, then the medians: a shared or virtual
    // machine varies from run to run.
    std::vector<double> times, shares, cpus, terminal;
    for (int i = 0; i < options.runs; ++i) {
        const Run run = runOnce(dir, {options.fixqrv, "3"}, options, storedSize(lines));
        if (!run.completed) {
            std::printf("the upload did not complete\n");
            return 1;
        }
        times.push_back(run.uploadSeconds);
        cpus.push_back(run.cpuSeconds);
        terminal.push_back(static_cast<double>(run.terminalBytes));
        shares.push_back(run.wallSeconds > 0 ? 100.0 * run.cpuSeconds / run.wallSeconds : 0.0);
        if (options.runs > 1 && options.paced)
            std::printf("run %-3d          %.3f s, time/least %.4f, CPU %.4f s, %.2f%%\n", i + 1,
                        run.uploadSeconds, run.uploadSeconds / least, run.cpuSeconds, shares.back());
        else if (options.runs > 1)
            std::printf("run %-3d          %.3f s, %.0f characters/s, CPU %.4f s, %.2f%%\n", i + 1,
                        run.uploadSeconds, characters / run.uploadSeconds, run.cpuSeconds, shares.back());
    }
    const char* of = options.runs > 1 ? " (median)" : "";
    const double time = median(times);
    // One line has no first-to-last time, nor a share of processor over it.
    const bool timed = lines.size() > 1;
    if (timed) std::printf("upload time      %.3f s (first to last line stored)%s\n", time, of);
    if (timed && options.paced) {
        std::printf("least time       %.3f s\n", least);
        std::printf("time/least time  %.4f%s\n", least > 0 ? time / least : 0.0, of);
    } else if (timed) {
        std::printf("characters/s     %.0f%s\n", time > 0 ? characters / time : 0.0, of);
    }
    if (timed)
        std::printf("fixqrv CPU       %.4f s, %.2f%% of a processor over the upload%s\n", median(cpus),
                    median(shares), of);
    std::printf("terminal output  %.0f bytes in the whole run, %.2f per uploaded character%s\n", median(terminal),
                median(terminal) / static_cast<double>(characters), of);

    if (options.strace) {
        // Twice counted: the whole program, and its first ten lines. The
        // difference is what the extra characters cost, without the start,
        // the dialogue and the end that both runs share. perf counts at the
        // kernel's tracepoint and barely slows the program; strace stops it
        // at every call, so that echoes come in between characters that
        // would otherwise have gone out together, and calls are added.
        auto countedCalls = [&](const std::vector<std::string>& program, bool byPerf) -> long {
            writeProgram(dir / "QRV1.BAS", program);
            const fs::path summary = dir / "calls.txt";
            fs::remove(summary);
            const std::vector<std::string> counter =
                byPerf ? std::vector<std::string>{"perf", "stat", "-x,", "-o", summary.string(), "-e",
                                                  "raw_syscalls:sys_enter", "--", options.fixqrv, "3"}
                       : std::vector<std::string>{"strace", "-f", "-c", "-o", summary.string(), options.fixqrv, "3"};
            const Run counted = runOnce(dir, counter, options, storedSize(program));
            if (!counted.completed) return -1;
            return byPerf ? perfTotal(summary) : straceTotal(summary);
        };
        const std::vector<std::string> head(lines.begin(), lines.begin() + std::min<std::size_t>(10, lines.size()));
        std::size_t headCharacters = 0;
        for (const auto& line : head) headCharacters += line.size() + 1;
        bool byPerf = true;
        long few = countedCalls(head, byPerf);
        if (few <= 0) few = countedCalls(head, byPerf = false);
        const long all = few > 0 ? countedCalls(lines, byPerf) : -1;
        if (all > 0 && characters > headCharacters)
            std::printf("system calls     %ld in the whole run, %.2f per uploaded character beyond the"
                        " first ten lines' run (%s)\n",
                        all, static_cast<double>(all - few) / static_cast<double>(characters - headCharacters),
                        byPerf ? "perf stat" : "strace -c");
        else
            std::printf("system calls     not counted (neither perf nor strace, or a run failed)\n");
    }
    fs::remove_all(dir);
    return 0;
}
