#include "simoptions.h"

#include "numbers.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>

namespace qm::sim {

namespace {

std::string lower(std::string_view text)
{
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

std::optional<int> number(std::string_view text, int base, int low, int high)
{
    return readNumber(text, low, high, base);
}

template <std::size_t N>
std::optional<int> nameIndex(std::string_view text, const std::array<const char *, N> &names)
{
    const std::string wanted = lower(text);
    for (std::size_t i = 0; i < N; ++i) {
        if (wanted == names[i])
            return static_cast<int>(i);
    }
    return std::nullopt;
}

std::optional<int> baudCode(std::string_view text)
{
    for (int code = 0; code < kBaudCount; ++code) {
        if (text == std::to_string(baudRateOf(code)))
            return code;
    }
    return std::nullopt;
}

// "3:long:2" -> block code 2, Long, two digits after the point.
bool applyBlock(std::string_view text, DisplayState &state)
{
    const auto first = text.find(':');
    if (first == std::string_view::npos)
        return false;
    const auto second = text.find(':', first + 1);
    if (second == std::string_view::npos)
        return false;
    const auto block = number(text.substr(0, first), 10, 1, kBlockCount);
    const auto type = nameIndex(text.substr(first + 1, second - first - 1),
                                std::array<const char *, 3>{"integer", "long", "float"});
    const auto point = number(text.substr(second + 1), 10, 0, (kDecimalPointCount - 1));
    if (!block || !type || !point)
        return false;
    state.blocks[*block - 1] = {*type, *point};
    return true;
}

// Applies one option that takes a value; false when the value is not acceptable.
bool applyValue(const std::string &name, std::string_view value, SimOptions &options)
{
    DisplayState &state = options.state;
    std::optional<int> parsed;
    if (name == "--port") {
        parsed = number(value, 10, kFirstPort, kLastPort);
        options.port = parsed.value_or(options.port);
    } else if (name == "--mode") {
        parsed = nameIndex(value, std::array<const char *, 2>{"ascii", "rtu"});
        state.mode = parsed.value_or(state.mode);
    } else if (name == "--baud") {
        parsed = baudCode(value);
        state.baudCode = parsed.value_or(state.baudCode);
    } else if (name == "--bits") {
        parsed = number(value, 10, 7, 8);
        state.dataBits = parsed.value_or(state.dataBits);
    } else if (name == "--parity") {
        parsed = nameIndex(value, std::array<const char *, 3>{"none", "even", "odd"});
        state.parity = parsed.value_or(state.parity);
    } else if (name == "--address") {
        parsed =
            number(value.size() <= 2 ? value : std::string_view(), 16, kMinAddress, kMaxAddress);
        state.address = parsed.value_or(state.address);
    } else if (name == "--block") {
        return applyBlock(value, state);
    } else if (name == "--bench-cycle") {
        parsed = number(value, 10, 100, kMaxCycleMs);
        options.benchCycleMs = parsed.value_or(options.benchCycleMs);
        options.bench = true;
    } else if (name == "--stubborn-unit") {
        parsed = number(value, 10, 1, 100000);
        if (parsed)
            options.stubbornUnits.push_back(*parsed);
    } else if (name == "--stubborn-address-unit") {
        parsed = number(value, 10, 1, 100000);
        if (parsed)
            options.keepAddressUnits.push_back(*parsed);
    } else if (name == "--modbus-exception") {
        parsed = number(value.size() <= 2 ? value : std::string_view(), 16, 0, 0xFF);
        options.faults.modbusException = parsed.value_or(options.faults.modbusException);
    } else if (name == "--delay") {
        parsed = number(value, 10, 0, kMaxDelayMs);
        options.delayMs = parsed.value_or(options.delayMs);
    }
    return parsed.has_value();
}

bool takesValue(const std::string &name)
{
    static const std::array<const char *, 12> kNames = {"--port",
                                                        "--mode",
                                                        "--baud",
                                                        "--bits",
                                                        "--parity",
                                                        "--address",
                                                        "--block",
                                                        "--delay",
                                                        "--bench-cycle",
                                                        "--stubborn-unit",
                                                        "--stubborn-address-unit",
                                                        "--modbus-exception"};
    return std::find(kNames.begin(), kNames.end(), name) != kNames.end();
}

} // namespace

ParsedOptions parseOptions(const std::vector<std::string> &args)
{
    ParsedOptions result;
    SimOptions &options = result.options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        const auto equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        if ((name == "--help" || name == "-h") && equals == std::string::npos) {
            options.help = true;
        } else if (name == "--silent" && equals == std::string::npos) {
            options.faults.silent = true;
        } else if (name == "--noise" && equals == std::string::npos) {
            options.faults.noise = true;
        } else if (name == "--bench" && equals == std::string::npos) {
            options.bench = true;
        } else if (takesValue(name)) {
            std::string value;
            if (equals != std::string::npos) {
                value = arg.substr(equals + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                result.error = name + " needs a value";
                return result;
            }
            if (!applyValue(name, value, options)) {
                result.error = "invalid value for " + name + ": \"" + value + "\"";
                return result;
            }
        } else {
            result.error = "unknown option: \"" + arg + "\"";
            return result;
        }
    }
    // No display runs this framing; a simulator that did would test nothing real.
    if (!supportedFraming(options.state.parity, options.state.dataBits))
        result.error = "--bits 7 with --parity none: no display runs that framing";
    return result;
}

std::string usage(std::string_view program)
{
    return "Usage: " + std::string(program) +
           " [options]\n"
           "Acts as the panel display on a pseudo-terminal published as COM N.\n"
           "\n"
           "  --port N         serve COM N, 1 to 250 (default 1)\n"
           "  --mode M         Modbus mode: ascii or rtu (default rtu)\n"
           "  --baud B         1200, 2400, 4800 or 9600 (default 9600)\n"
           "  --bits N         data bits: 7 or 8 (default 8)\n"
           "  --parity P       none, even or odd (default even); none with 7 bits is\n"
           "                   refused\n"
           "  --address HH     slave address in hex, 01 to FA (default 0A)\n"
           "  --block N:T:D    block N (1-9) holds type T (integer, long, float) with\n"
           "                   D digits after the point (0-5); may be repeated\n"
           "                   (default: every block integer, 0 digits)\n"
           "  --delay MS       answer MS milliseconds late (0 to 60000)\n"
           "  --silent         decide as usual but never answer\n"
           "  --noise          send a stray '~' before every answer\n"
           "  --bench          a commissioning bench: units come and go on the line,\n"
           "                   each with its own address and one block of its own;\n"
           "                   SIGUSR1 takes the unit away and brings the next one,\n"
           "                   SIGUSR2 takes the unit away\n"
           "  --bench-cycle MS the bench by itself: each unit stays MS milliseconds\n"
           "                   (100 to 600000), the line is empty for half of that\n"
           "  --stubborn-unit N\n"
           "                   unit N (1 for the first) acknowledges every block write\n"
           "                   and keeps its blocks; may be repeated\n"
           "  --stubborn-address-unit N\n"
           "                   unit N acknowledges a $C and takes all of it but the\n"
           "                   address; may be repeated\n"
           "  --modbus-exception HH\n"
           "                   answer every Modbus request with exception code HH\n"
           "                   (00 to FF), as a unit with faulty firmware might\n"
           "  -h, --help       show this text and exit\n"
           "\n"
           "The link folder is $XDG_RUNTIME_DIR/quillmark, or /tmp/quillmark-UID when\n"
           "XDG_RUNTIME_DIR is unset or empty. Commands are ignored while the PC's baud\n"
           "rate differs from the display's; after a $C that changes it, reconnect at\n"
           "the new rate. SIGINT or SIGTERM stops the simulator and removes the link.\n"
           "\n"
           "It is also a Modbus slave on the same line: RTU frames (3.5 characters of\n"
           "silence end one) or ASCII frames (':' to CR LF) to its address are answered\n"
           "from read-only holding registers 0 to 22 (the blocks' types and points, then\n"
           "mode, baud rate, data bits, parity, address); a '$' starts a set-up command.\n";
}

} // namespace qm::sim
