// The simulated display: its options from the command line, then any byte stream from
// the PC in any split, answered the way the window's reply judging expects, and Modbus
// answered only in whole frames from the display's own address.
//
// Input: OPTIONS '\0' CONFIG SEED STREAM, where OPTIONS are the simulator's arguments
// separated by '\n'. Without a '\0' the whole input is the stream, with default options.
#include "commands.h"
#include "displaysim.h"
#include "fuzzsupport.h"
#include "modbusslave.h"
#include "replies.h"
#include "simoptions.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using qm::sim::DisplaySim;
using qm::sim::DisplayState;
using qm::sim::SimStep;

constexpr std::size_t kMaxTraceLine = 256;

bool sameState(const DisplayState &a, const DisplayState &b)
{
    if (a.mode != b.mode || a.baudCode != b.baudCode || a.dataBits != b.dataBits ||
        a.parity != b.parity || a.address != b.address)
        return false;
    for (std::size_t i = 0; i < a.blocks.size(); ++i) {
        if (a.blocks[i].dataType != b.blocks[i].dataType ||
            a.blocks[i].decimalPoint != b.blocks[i].decimalPoint)
            return false;
    }
    return true;
}

bool validState(const DisplayState &s)
{
    bool valid = s.mode >= 0 && s.mode <= 1 && s.baudCode >= 0 && s.baudCode < qm::kBaudCount &&
                 s.dataBits >= 7 && s.dataBits <= 8 && s.parity >= 0 && s.parity <= 2 &&
                 s.address >= qm::kMinAddress && s.address <= qm::kMaxAddress;
    for (const auto &block : s.blocks)
        valid = valid && block.dataType >= 0 && block.dataType <= 2 && block.decimalPoint >= 0 &&
                block.decimalPoint <= (qm::kDecimalPointCount - 1);
    return valid;
}

std::vector<std::string> split(std::string_view text, char separator)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == separator) {
            parts.emplace_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    return parts;
}

std::string blockOption(int block, const qm::sim::BlockSettings &settings)
{
    static const char *const kTypes[] = {"integer", "long", "float"};
    return std::to_string(block + 1) + ":" + kTypes[settings.dataType] + ":" +
           std::to_string(settings.decimalPoint);
}

// Accepted options give a state the display can be in; writing that state back as
// options, in either "--name value" or "--name=value" form, gives the same state.
void checkOptions(const qm::sim::ParsedOptions &parsed)
{
    if (!parsed.error.empty())
        return;
    const qm::sim::SimOptions &o = parsed.options;
    QM_FUZZ_CHECK(validState(o.state));
    QM_FUZZ_CHECK(o.port >= qm::kFirstPort && o.port <= qm::kLastPort);
    QM_FUZZ_CHECK(o.delayMs >= 0 && o.delayMs <= qm::sim::kMaxDelayMs);

    static const char *const kModes[] = {"ascii", "rtu"};
    static const char *const kParities[] = {"none", "even", "odd"};
    char address[3];
    std::snprintf(address, sizeof address, "%02X", o.state.address);
    std::vector<std::pair<std::string, std::string>> named = {
        {"--port", std::to_string(o.port)},
        {"--mode", kModes[o.state.mode]},
        {"--baud", std::to_string(qm::sim::baudRateOf(o.state.baudCode))},
        {"--bits", std::to_string(o.state.dataBits)},
        {"--parity", kParities[o.state.parity]},
        {"--address", address},
        {"--delay", std::to_string(o.delayMs)},
    };
    for (int b = 0; b < qm::kBlockCount; ++b)
        named.push_back({"--block", blockOption(b, o.state.blocks[std::size_t(b)])});
    std::vector<std::string> spaced, joined;
    for (const auto &[name, value] : named) {
        spaced.push_back(name);
        spaced.push_back(value);
        joined.push_back(name + "=" + value);
    }
    if (o.faults.silent)
        spaced.push_back("--silent");
    if (o.faults.noise)
        spaced.push_back("--noise");
    for (const auto &again : {qm::sim::parseOptions(spaced), qm::sim::parseOptions(joined)}) {
        QM_FUZZ_CHECK(again.error.empty());
        QM_FUZZ_CHECK(sameState(again.options.state, o.state));
        QM_FUZZ_CHECK(again.options.port == o.port && again.options.delayMs == o.delayMs);
    }
}

// The address a traced request was sent to: two hex digits at the given place, never 0
// (the display answers no broadcast).
int askedAddress(const std::string &trace, std::size_t at)
{
    QM_FUZZ_CHECK(trace.size() >= at + 2);
    const int address = std::stoi(trace.substr(at, 2), nullptr, 16);
    QM_FUZZ_CHECK(address != 0);
    return address;
}

struct Run
{
    std::vector<std::string> replies; // the non-empty replies, in order
    DisplayState state;
};

// Feeds the stream in chunks of the given lengths (the rest in one last chunk) and
// checks what must hold after every chunk and for every answer.
Run feed(const qm::sim::SimOptions &options, std::optional<int> pcRate, std::string_view stream,
         const std::vector<std::size_t> &lengths)
{
    DisplaySim sim(options.state, options.faults);
    const DisplayState initial = sim.state();
    const bool deaf = pcRate && *pcRate != qm::sim::baudRateOf(initial.baudCode);
    Run run;
    std::size_t at = 0;
    // The chunks arrive back to back, so that an RTU frame among them is cut by nothing
    // but the silence after the last one.
    const auto now = qm::sim::SimClock::now();
    std::size_t setUpReplies = 0;
    auto check = [&](const std::vector<SimStep> &steps) {
        QM_FUZZ_CHECK(sim.pendingSize() < qm::sim::CommandFramer::kMaxCommand);
        QM_FUZZ_CHECK(validState(sim.state()));
        for (const SimStep &step : steps) {
            QM_FUZZ_CHECK(!step.trace.empty());
            // A command is at most kMaxCommand bytes and a dropped run is shown by a
            // sample, so no trace line grows with what arrives.
            for (const std::string &line : step.trace)
                QM_FUZZ_CHECK(line.size() <= kMaxTraceLine);
            if (step.reply.empty())
                continue;
            QM_FUZZ_CHECK(!options.faults.silent && !deaf);
            std::string_view body = step.reply;
            if (options.faults.noise) {
                QM_FUZZ_CHECK(body.front() == qm::sim::kNoiseByte);
                body.remove_prefix(1);
            }
            run.replies.emplace_back(step.reply);
            // A Modbus answer: a whole frame of the display's mode, from the address the
            // request named. Not compared with the state: a "$C" later in the same chunk
            // may already have moved the display to another address.
            std::string why;
            const std::string &received = step.trace.front();
            if (received.rfind("recv RTU ", 0) == 0) {
                const auto message = qm::sim::rtuMessage(body, why);
                QM_FUZZ_CHECK(message && std::uint8_t((*message)[0]) == askedAddress(received, 9));
                continue;
            }
            if (received.rfind("recv :", 0) == 0) {
                const auto message = qm::sim::asciiMessage(body, why);
                QM_FUZZ_CHECK(message && std::uint8_t((*message)[0]) == askedAddress(received, 6));
                continue;
            }
            ++setUpReplies;
            // Framed like every reply of the display: ">" ... CR, nothing after the CR.
            QM_FUZZ_CHECK(body.size() >= 2 && body.front() == '>' && body.back() == '\r');
            QM_FUZZ_CHECK(std::count(body.begin(), body.end(), '\r') == 1);
            QM_FUZZ_CHECK(body.size() == 2 || body.size() == 5 || body.size() == 8);
            // Every answer with fields is one the window takes whole.
            if (body.size() == 8)
                QM_FUZZ_CHECK(qm::judgeCommsReply(body).complete());
            if (body.size() == 5)
                QM_FUZZ_CHECK(qm::judgeBlockReply(body).complete());
            if (step.trace.front() == "recv $M\\r")
                QM_FUZZ_CHECK(body.size() == 8);
        }
        if (deaf)
            QM_FUZZ_CHECK(sameState(sim.state(), initial));
    };
    auto push = [&](std::string_view chunk) {
        const qm::fuzz::ExactBytes copy(chunk);
        check(sim.receive(copy.view(), pcRate, now));
    };
    for (std::size_t length : lengths) {
        const std::size_t take = std::min(length, stream.size() - at);
        push(stream.substr(at, take));
        at += take;
    }
    push(stream.substr(at));
    check(sim.silence(now + std::chrono::seconds(1), pcRate));
    QM_FUZZ_CHECK(!sim.frameDue());
    run.state = sim.state();
    QM_FUZZ_CHECK(setUpReplies <= std::size_t(std::count(stream.begin(), stream.end(), '\r')));
    return run;
}

SimStep only(const std::vector<SimStep> &steps)
{
    QM_FUZZ_CHECK(steps.size() == 1);
    return steps.front();
}

// The window's commands, built from in-range list positions, are taken by the display,
// and its answers to "$M" and "$N" then read back as the very positions written.
void checkWindowRoundTrip(const DisplayState &start, std::string_view bytes)
{
    auto at = [&](std::size_t i) { return i < bytes.size() ? std::uint8_t(bytes[i]) : 0; };
    DisplaySim sim(start);

    const qm::CommsReply before =
        qm::judgeCommsReply(only(sim.receive(qm::readCommsCommand(), {})).reply);
    QM_FUZZ_CHECK(before.complete());
    const qm::CommsSettings reported = before.settings();
    QM_FUZZ_CHECK(reported.mode == start.mode && reported.baudCode == start.baudCode &&
                  reported.dataBits == start.dataBits && reported.parity == start.parity &&
                  reported.address == start.address);
    for (int b = 0; b < qm::kBlockCount; ++b) {
        const qm::BlockReply r =
            qm::judgeBlockReply(only(sim.receive(qm::readBlockCommand(b), {})).reply);
        QM_FUZZ_CHECK(r.complete() && r.block() == b);
        QM_FUZZ_CHECK(r.settings().dataType == start.blocks[std::size_t(b)].dataType &&
                      r.settings().decimalPoint == start.blocks[std::size_t(b)].decimalPoint);
    }

    const int mode = at(0) % 2, baud = at(1) % 4, bits = at(2) % 2, parity = at(3) % 3;
    const int address = 1 + at(4) % 250;
    QM_FUZZ_CHECK(
        only(sim.receive(qm::writeCommsCommand({mode, baud, bits + 7, parity, address}), {}))
            .reply == ">\r");
    const qm::CommsReply after =
        qm::judgeCommsReply(only(sim.receive(qm::readCommsCommand(), {})).reply);
    QM_FUZZ_CHECK(after.complete());
    QM_FUZZ_CHECK((after.settings() == qm::CommsSettings{mode, baud, bits + 7, parity, address}));

    const int block = at(5) % 9, type = at(6) % 3, point = at(7) % 6;
    QM_FUZZ_CHECK(only(sim.receive(qm::writeBlockCommand(block, {type, point}), {})).reply ==
                  ">\r");
    const qm::BlockReply r =
        qm::judgeBlockReply(only(sim.receive(qm::readBlockCommand(block), {})).reply);
    QM_FUZZ_CHECK(r.complete() && r.block() == block &&
                  (r.settings() == qm::BlockSettings{type, point}));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view input = qm::fuzz::asView(data, size);
    std::vector<std::string> args;
    std::uint8_t config = 0, seed = 0;
    std::string_view stream = input;
    if (const auto end = input.find('\0'); end != std::string_view::npos) {
        if (end > 0)
            args = split(input.substr(0, end), '\n');
        const std::string_view rest = input.substr(end + 1);
        config = rest.size() > 0 ? std::uint8_t(rest[0]) : 0;
        seed = rest.size() > 1 ? std::uint8_t(rest[1]) : 0;
        stream = rest.substr(std::min<std::size_t>(2, rest.size()));
    }

    const qm::sim::ParsedOptions parsed = qm::sim::parseOptions(args);
    checkOptions(parsed);
    const qm::sim::SimOptions options =
        parsed.error.empty() ? parsed.options : qm::sim::SimOptions{};

    // The PC line's rate: unreadable, the display's own, another known one, or unknown.
    std::optional<int> pcRate;
    switch ((config >> 2) & 3) {
    case 1:
        pcRate = qm::sim::baudRateOf(options.state.baudCode);
        break;
    case 2:
        pcRate = qm::sim::baudRateOf((options.state.baudCode + 1) % qm::kBaudCount);
        break;
    case 3:
        pcRate = 0;
        break;
    default:
        break;
    }
    qm::sim::SimOptions faulty = options;
    faulty.faults.silent = faulty.faults.silent || (config & 1);
    faulty.faults.noise = faulty.faults.noise || (config & 2);

    // However the stream is cut into reads, the display answers the same and ends in the
    // same state.
    qm::fuzz::SplitChooser chooser(seed);
    std::vector<std::size_t> random;
    for (std::size_t total = 0; total < stream.size();) {
        random.push_back(chooser.next(12));
        total += random.back();
    }
    const Run whole = feed(faulty, pcRate, stream, {});
    for (const auto &lengths : {random, std::vector<std::size_t>(stream.size(), 1)}) {
        const Run split = feed(faulty, pcRate, stream, lengths);
        QM_FUZZ_CHECK(split.replies == whole.replies);
        QM_FUZZ_CHECK(sameState(split.state, whole.state));
    }

    checkWindowRoundTrip(whole.state, stream);
    return 0;
}
