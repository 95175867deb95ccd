#include "tools/controller-sim/options.h"

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <optional>

namespace sim {

namespace {

using Setter = std::function<bool(SimOptions&, const std::string&)>;

struct OptionRule {
    const char* name;
    bool takesValue;
    Setter set;
};

std::optional<long> wholeNumber(const std::string& text, long low, long high) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < low || value > high) return std::nullopt;
    return value;
}

Setter number(long low, long high, std::function<void(SimOptions&, long)> store) {
    return [=](SimOptions& o, const std::string& text) {
        const auto value = wholeNumber(text, low, high);
        if (value) store(o, *value);
        return value.has_value();
    };
}

Setter flag(std::function<void(SimOptions&)> store) {
    return [=](SimOptions& o, const std::string&) {
        store(o);
        return true;
    };
}

Setter text(std::function<void(SimOptions&, const std::string&)> store) {
    return [=](SimOptions& o, const std::string& value) {
        store(o, value);
        return true;
    };
}

const std::vector<OptionRule>& optionTable() {
    constexpr long kMany = 100000000;
    static const std::vector<OptionRule> table = {
        {"print-path", false, flag([](SimOptions& o) { o.printPath = true; })},
        {"exit-after-upload", false, flag([](SimOptions& o) { o.exitAfterUpload = true; })},
        {"help", false, flag([](SimOptions& o) { o.help = true; })},
        {"port", true, number(1, 256, [](SimOptions& o, long v) { o.port = int(v); })},
        {"log", true, text([](SimOptions& o, const std::string& v) { o.logPath = v; })},
        {"received", true, text([](SimOptions& o, const std::string& v) { o.receivedPath = v; })},
        {"asleep", false, flag([](SimOptions& o) { o.behaviour.asleep = true; })},
        {"wake-crs", true, number(1, 1000, [](SimOptions& o, long v) { o.behaviour.wakeCrs = int(v); })},
        {"wake-delay", true, number(0, kMany, [](SimOptions& o, long v) { o.behaviour.wakeDelayMs = int(v); })},
        {"password", true, text([](SimOptions& o, const std::string& v) { o.behaviour.password = v; })},
        {"password-prompt", true, [](SimOptions& o, const std::string& v) {
             o.behaviour.passwordPromptLine = v == "line";
             return v == "line" || v == "partial";
         }},
        {"password-tries", true, number(1, 1000, [](SimOptions& o, long v) { o.behaviour.passwordTries = int(v); })},
        {"security", false, flag([](SimOptions& o) { o.behaviour.security = true; })},
        {"variant", true, text([](SimOptions& o, const std::string& v) { o.behaviour.variant = v; })},
        {"buffer", true, number(1, kMany, [](SimOptions& o, long v) { o.behaviour.bufferSize = int(v); })},
        {"process-cps", true, number(1, kMany, [](SimOptions& o, long v) { o.behaviour.processCps = int(v); })},
        {"baud-pacing", false, flag([](SimOptions& o) { o.behaviour.baudPacing = true; })},
        {"latency", true, number(0, 10000, [](SimOptions& o, long v) { o.behaviour.latencyMs = int(v); })},
        {"corrupt-line", true, number(1, kMany, [](SimOptions& o, long v) { o.behaviour.corruptLine = int(v); })},
        {"corrupt-always", false, flag([](SimOptions& o) { o.behaviour.corruptAlways = true; })},
        {"silent", false, flag([](SimOptions& o) { o.behaviour.silent = true; })},
        {"drop-after", true, number(1, kMany, [](SimOptions& o, long v) { o.behaviour.dropAfter = v; })},
    };
    return table;
}

const OptionRule* findOption(const std::string& name) {
    for (const OptionRule& rule : optionTable()) {
        if (name == rule.name) return &rule;
    }
    return nullptr;
}

// One "--name[=value]" at args[i]; moves i past a separate value.
std::string parseOne(const std::vector<std::string>& args, std::size_t& i, SimOptions& o) {
    const std::string& arg = args[i];
    if (arg.rfind("--", 0) != 0) return "unexpected argument '" + arg + "'";
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    const OptionRule* rule = findOption(name);
    if (!rule) return "unknown option '" + arg + "'";
    std::string value;
    if (equals != std::string::npos) {
        if (!rule->takesValue) return "option '--" + name + "' takes no value";
        value = arg.substr(equals + 1);
    } else if (rule->takesValue) {
        if (++i >= args.size()) return "option '--" + name + "' needs a value";
        value = args[i];
    }
    if (!rule->set(o, value)) return "bad value '" + value + "' for '--" + name + "'";
    return {};
}

}  // namespace

ParsedOptions parseOptions(const std::vector<std::string>& args) {
    ParsedOptions parsed;
    SimOptions& o = parsed.options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--") {
            o.command.assign(args.begin() + static_cast<long>(i) + 1, args.end());
            if (o.command.empty()) parsed.error = "no command after '--'";
            return parsed;
        }
        parsed.error = parseOne(args, i, o);
        if (!parsed.error.empty()) return parsed;
    }
    if (!o.help && !o.printPath) parsed.error = "give --print-path or '-- command ...'";
    return parsed;
}

std::string usageText() {
    return
        "Usage: fixqrv-sim [options] --print-path\n"
        "       fixqrv-sim [options] -- command [args...]\n"
        "Plays a KTX/RVB controller at the far end of a pseudo-terminal.\n"
        "\n"
        "  --print-path           print the port's path, then serve it until killed\n"
        "  -- command args...     run the command with FIXQRV_COM<n>=<port path> in its\n"
        "                         environment and this terminal; exit with its code\n"
        "  --port N               n of FIXQRV_COM<n> (1-256, default 3)\n"
        "  --exit-after-upload    exit when the closing \"10\" has been answered and the\n"
        "                         port is closed\n"
        "  --log FILE             journal of what arrived and what the controller did\n"
        "  --received FILE        program lines received, in order of arrival, CR LF\n"
        "Controller:\n"
        "  --asleep               start asleep, silent until woken by CRs\n"
        "  --wake-crs N           CRs that wake it (default 2)\n"
        "  --wake-delay MS        CRs sooner than MS after falling asleep do not count\n"
        "  --password TEXT        lock it: the password is asked when it wakes\n"
        "  --password-prompt line|partial   \"Password: \" with or without CR LF\n"
        "                         (default partial)\n"
        "  --password-tries N     wrong passwords before \"BYE!\" and sleep (default 3)\n"
        "  --security             ask \"Enable Security (Y/N)? \" after waking or login\n"
        "  --variant TEXT         answer to the variant query (default \" 1\")\n"
        "  --buffer N             input buffer of N characters: XOFF 8 before full, XON\n"
        "                         at half; the PC stops sending when the XOFF reaches it\n"
        "  --process-cps N        characters its interpreter takes per second\n"
        "Line and faults:\n"
        "  --baud-pacing          characters per second both ways = current rate / 10\n"
        "  --latency MS           hold output back, release it every MS milliseconds\n"
        "  --corrupt-line K       spoil the echo of program line K, once\n"
        "  --corrupt-always       spoil it in every upload pass\n"
        "  --silent               never answer anything\n"
        "  --drop-after N         hang the line up after N received characters\n"
        "  --help                 this text\n";
}

}  // namespace sim
