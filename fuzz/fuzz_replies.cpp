// Judging of the display's replies to "$M" and "$N", and of a Modbus ASCII answer, from any
// bytes the line delivers.
#include "commands.h"
#include "fuzzsupport.h"
#include "modbusframe.h"
#include "replies.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

using qm::fuzz::ExactBytes;

qm::CommsReply judgeComms(std::string_view reply)
{
    const ExactBytes copy(reply);
    return qm::judgeCommsReply(copy.view());
}

qm::BlockReply judgeBlock(std::string_view reply)
{
    const ExactBytes copy(reply);
    return qm::judgeBlockReply(copy.view());
}

const qm::FieldValues &valuesOf(const qm::JudgedReply &r)
{
    return r.values;
}

// Each field's range and the reply bytes it is read from. They come from the protocol's
// table: tst_protocol's rows hold the table to the display's documentation, and these
// checks hold the judging to the table for any bytes.
struct FieldRule
{
    int low;
    int high;
    std::size_t first; // first reply byte of the field
    std::size_t last;  // last reply byte of the field
};

template <std::size_t N> std::array<FieldRule, N> rulesOf(const qm::Fields &fields)
{
    std::array<FieldRule, N> rules{};
    std::size_t at = 1;
    for (std::size_t i = 0; i < N; ++i) {
        const qm::Field &field = fields.at[i];
        rules[i] = {field.low, field.high, at, at + std::size_t(field.width) - 1};
        at += std::size_t(field.width);
    }
    return rules;
}

const auto kCommsRules = rulesOf<qm::CommsReply::kFields>(qm::kCommsFields);
const auto kBlockRules = rulesOf<qm::BlockReply::kFields>(qm::kBlockFields);

// A field's value from its own bytes: one digit, or the two-character address.
int fieldValue(std::string_view reply, const FieldRule &rule)
{
    if (rule.first == rule.last)
        return qm::readDigitField(reply[rule.first]);
    return qm::readHexField(reply.substr(rule.first, rule.last - rule.first + 1));
}

// What must hold for any judged reply: the framing alone decides whether anything can
// pass; then `passed` counts exactly the leading fields whose bytes read in range, each
// of those holds the value of its own bytes, and so each is in its range.
template <typename Reply, std::size_t N>
void checkJudged(std::string_view bytes, const Reply &r, const std::array<FieldRule, N> &rules,
                 std::size_t length)
{
    QM_FUZZ_CHECK(r.passed >= 0 && r.passed <= Reply::kFields);
    QM_FUZZ_CHECK(r.complete() == (r.passed == Reply::kFields));
    if (!qm::framedReply(bytes, int(length))) {
        QM_FUZZ_CHECK(r.passed == 0);
        return;
    }
    int expectedPassed = 0;
    while (expectedPassed < int(N)) {
        const FieldRule &rule = rules[expectedPassed];
        const int value = fieldValue(bytes, rule);
        if (value < rule.low || value > rule.high)
            break;
        ++expectedPassed;
    }
    QM_FUZZ_CHECK(r.passed == expectedPassed);
    const auto values = valuesOf(r);
    for (int i = 0; i < r.passed; ++i) {
        QM_FUZZ_CHECK(values[i] == fieldValue(bytes, rules[i]));
        QM_FUZZ_CHECK(values[i] >= rules[i].low && values[i] <= rules[i].high);
    }
}

// Changing one byte after the first failing field changes neither `passed` nor the
// fields before it; changing a byte of the failing field or later never lowers `passed`.
template <typename Reply, std::size_t N, typename Judge>
void checkPrefixStable(const std::string &bytes, const Reply &r,
                       const std::array<FieldRule, N> &rules, Judge judge)
{
    static constexpr std::array<char, 14> kReplacements = {'0', '1', '2', '3',  '7',  '8', '9',
                                                           'A', 'f', ' ', '\t', '\r', 'X', '\xff'};
    const auto before = valuesOf(r);
    const std::size_t failingLast = r.passed < int(N) ? rules[r.passed].last : bytes.size();
    const std::size_t failingFirst = r.passed < int(N) ? rules[r.passed].first : bytes.size();
    for (std::size_t at = failingFirst; at + 1 < bytes.size(); ++at) {
        for (char replacement : kReplacements) {
            std::string changed = bytes;
            changed[at] = replacement;
            const Reply after = judge(changed);
            QM_FUZZ_CHECK(after.passed >= r.passed);
            if (at > failingLast)
                QM_FUZZ_CHECK(after.passed == r.passed);
            const auto values = valuesOf(after);
            for (int i = 0; i < r.passed; ++i)
                QM_FUZZ_CHECK(values[i] == before[i]);
        }
    }
}

// quillmark-cli's strict reading passes no more fields than the window's, with the same
// values, and passes none whose characters are not digits (hex digits for the address).
void checkStrictIsNarrower(const std::string &comms, const qm::CommsReply &lenient,
                           const std::string &block, const qm::BlockReply &lenientBlock)
{
    const ExactBytes commsCopy(comms);
    const qm::CommsReply strict = qm::judgeCommsReply(commsCopy.view(), qm::FieldReading::Strict);
    QM_FUZZ_CHECK(strict.passed <= lenient.passed);
    const auto values = valuesOf(strict), lenientValues = valuesOf(lenient);
    for (int i = 0; i < strict.passed; ++i) {
        QM_FUZZ_CHECK(values[i] == lenientValues[i]);
        const char c = comms[std::size_t(i) + 1];
        QM_FUZZ_CHECK(i == 4 || (c >= '0' && c <= '9'));
    }
    auto hex = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    };
    if (strict.complete())
        QM_FUZZ_CHECK(hex(comms[5]) && hex(comms[6]));
    const ExactBytes blockCopy(block);
    const qm::BlockReply strictBlock =
        qm::judgeBlockReply(blockCopy.view(), qm::FieldReading::Strict);
    QM_FUZZ_CHECK(strictBlock.passed <= lenientBlock.passed);
    for (int i = 0; i < strictBlock.passed; ++i) {
        const char c = block[std::size_t(i) + 1];
        QM_FUZZ_CHECK(c >= '0' && c <= '9');
    }
}

// Any change of length or of the framing bytes makes a reply count for nothing.
template <typename Judge> void checkFramingIsWhole(const std::string &bytes, Judge judge)
{
    QM_FUZZ_CHECK(judge(bytes + '\r').passed == 0);
    QM_FUZZ_CHECK(judge(bytes.substr(0, bytes.size() - 1)).passed == 0);
    std::string noStart = bytes;
    noStart.front() = '<';
    QM_FUZZ_CHECK(judge(noStart).passed == 0);
    std::string lineFeed = bytes;
    lineFeed.back() = '\n';
    QM_FUZZ_CHECK(judge(lineFeed).passed == 0);
}

// A "$C" or "$D" command echoed with ">" in place of "$C"/"$D" is a reply of the same
// fields: the builders and the judge must agree on every field's text and range.
void checkCommandsEchoAsReplies(std::string_view bytes)
{
    auto at = [&](std::size_t i) { return i < bytes.size() ? std::uint8_t(bytes[i]) : 0; };
    auto signedAt = [&](std::size_t i) { return int(std::int8_t(at(i))); };

    // Values in range, as the settings hold them.
    const qm::CommsSettings settings{at(0) % 2, at(1) % 4, 7 + at(2) % 2, at(3) % 3,
                                     1 + at(4) % 250};
    const std::string comms = qm::writeCommsCommand(settings);
    QM_FUZZ_CHECK(comms.size() == 9 && comms.compare(0, 2, "$C") == 0 && comms.back() == '\r');
    const qm::CommsReply echoed = judgeComms(">" + comms.substr(2));
    QM_FUZZ_CHECK(echoed.complete());
    QM_FUZZ_CHECK(echoed.settings() == settings);

    // Any values: only in-range ones make a reply that passes its first four fields, and
    // then with the same values; the address passes when it is in range.
    const qm::CommsSettings any{signedAt(5), signedAt(6), signedAt(7), signedAt(8),
                                signedAt(9) + 128};
    const qm::CommsReply anyEcho = judgeComms(">" + qm::writeCommsCommand(any).substr(2));
    const bool inRange = any.mode >= 0 && any.mode <= 1 && any.baudCode >= 0 && any.baudCode <= 3 &&
                         any.dataBits >= 7 && any.dataBits <= 8 && any.parity >= 0 &&
                         any.parity <= 2;
    QM_FUZZ_CHECK((anyEcho.passed >= 4) == inRange);
    if (inRange) {
        const qm::CommsSettings got = anyEcho.settings();
        QM_FUZZ_CHECK(got.mode == any.mode && got.baudCode == any.baudCode &&
                      got.dataBits == any.dataBits && got.parity == any.parity);
        QM_FUZZ_CHECK(anyEcho.complete() == (any.address <= 250));
        if (anyEcho.complete())
            QM_FUZZ_CHECK(got.address == any.address);
    }

    const int block = at(11) % 9;
    const qm::BlockSettings blockSettings{at(12) % 3, at(13) % 6};
    const std::string write = qm::writeBlockCommand(block, blockSettings);
    QM_FUZZ_CHECK(write.size() == 6 && write.compare(0, 2, "$D") == 0 && write.back() == '\r');
    const qm::BlockReply blockEcho = judgeBlock(">" + write.substr(2));
    QM_FUZZ_CHECK(blockEcho.complete());
    QM_FUZZ_CHECK(blockEcho.block() == block && blockEcho.settings() == blockSettings);
    QM_FUZZ_CHECK(qm::readBlockCommand(block) == "$N" + std::to_string(block) + "\r");

    const int anyBlock = signedAt(11), anyType = signedAt(12), anyPoint = signedAt(13);
    const std::string anyWrite = qm::writeBlockCommand(anyBlock, {anyType, anyPoint});
    const qm::BlockReply anyBlockEcho = judgeBlock(">" + anyWrite.substr(2));
    const bool blockInRange = anyBlock >= 0 && anyBlock <= 8 && anyType >= 0 && anyType <= 2 &&
                              anyPoint >= 0 && anyPoint <= 5;
    QM_FUZZ_CHECK(anyBlockEcho.complete() == blockInRange);
    QM_FUZZ_CHECK(qm::readCommsCommand() == "$M\r");
}

// A Modbus ASCII frame is taken only whole and exact: framing its message again gives the
// very bytes, and the judged answer agrees with the message. The input's bytes as a
// message frame and parse back to themselves.
void checkModbusAscii(std::string_view input)
{
    std::string why;
    const ExactBytes copy(input);
    const auto message = qm::parseModbusAsciiFrame(copy.view(), &why);
    QM_FUZZ_CHECK(message.has_value() == why.empty());
    if (message) {
        QM_FUZZ_CHECK(qm::modbusAsciiFrame(*message) == input);
        const qm::RegisterAnswer answer = qm::judgeRegisterAnswer(*message, 0x0A);
        QM_FUZZ_CHECK((answer.kind == qm::RegisterAnswer::Kind::OtherAddress) ==
                      (std::uint8_t((*message)[0]) != 0x0A));
        if (answer.kind == qm::RegisterAnswer::Kind::Value)
            QM_FUZZ_CHECK(message->size() == 5 && answer.value >= 0 && answer.value <= 0xFFFF);
    }
    if (input.size() >= 2 && input.size() <= 254) {
        const std::string frame = qm::modbusAsciiFrame(input);
        QM_FUZZ_CHECK(qm::parseModbusAsciiFrame(frame, &why) == std::string(input));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view input = qm::fuzz::asView(data, size);

    // The bytes exactly as received.
    checkJudged(input, judgeComms(input), kCommsRules, qm::kCommsReplyLength);
    checkJudged(input, judgeBlock(input), kBlockRules, qm::kBlockReplyLength);

    // The same bytes as the fields of a well-framed reply, so that every input reaches
    // the field judging and not only the framing check.
    const std::string comms = ">" + std::string(input.substr(0, 6)) +
                              std::string(6 - std::min<std::size_t>(6, size), '0') + "\r";
    const std::string block = ">" + std::string(input.substr(0, 3)) +
                              std::string(3 - std::min<std::size_t>(3, size), '0') + "\r";
    const qm::CommsReply commsReply = judgeComms(comms);
    const qm::BlockReply blockReply = judgeBlock(block);
    checkJudged(comms, commsReply, kCommsRules, qm::kCommsReplyLength);
    checkJudged(block, blockReply, kBlockRules, qm::kBlockReplyLength);
    checkPrefixStable(comms, commsReply, kCommsRules,
                      [](const std::string &b) { return judgeComms(b); });
    checkPrefixStable(block, blockReply, kBlockRules,
                      [](const std::string &b) { return judgeBlock(b); });
    checkFramingIsWhole(comms, [](const std::string &b) { return judgeComms(b); });
    checkFramingIsWhole(block, [](const std::string &b) { return judgeBlock(b); });

    checkStrictIsNarrower(comms, commsReply, block, blockReply);

    checkCommandsEchoAsReplies(input);
    checkModbusAscii(input);
    return 0;
}
