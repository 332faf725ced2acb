#include "modbuscheck.h"

#include "console.h"
#include "displaylink.h"
#include "exitcodes.h"
#include "modbusframe.h"
#include "rtujudge.h"

#include <modbus.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace cli {
namespace {

QString modeName(int mode)
{
    const std::string_view name = qm::kModeNames[std::size_t(mode)];
    return QLatin1String(name.data(), qsizetype(name.size())).toString();
}

// "address 0A (RTU) at 9600,E,8,1", the words every failure names.
QString where(const DisplayLink &link, const ModbusTarget &target)
{
    return QStringLiteral("address %1 (Modbus %2) at %3")
        .arg(addressText(target.address), modeName(target.mode), formatLineSettings(link.line()));
}

QString hexMessage(const QByteArray &message)
{
    return QString::fromLatin1(message.toHex(' ').toUpper());
}

QString exceptionName(int code)
{
    // libmodbus names the exceptions Modbus defines; its errno for code n is ENOBASE + n.
    if (code >= 1 && code < MODBUS_EXCEPTION_MAX)
        return QString::fromUtf8(modbus_strerror(MODBUS_ENOBASE + code));
    return QStringLiteral("an exception Modbus does not define");
}

[[noreturn]] void noAnswer(const DisplayLink &link, const ModbusTarget &target)
{
    throw Failure(kExitNoReply, QStringLiteral("%1: no Modbus response from %2 within %3 ms")
                                    .arg(link.label(), where(link, target))
                                    .arg(link.timeoutMs()));
}

[[noreturn]] void invalidAnswer(const DisplayLink &link, const ModbusTarget &target,
                                const QString &why)
{
    throw Failure(kExitNoReply, QStringLiteral("%1: invalid Modbus response to %2: %3")
                                    .arg(link.label(), where(link, target), why));
}

// An answer ends with a silence on the line: 3.5 characters in Modbus RTU, and a USB
// adapter hands bytes on in bursts some milliseconds apart, so a shorter gap ends nothing.
// Waiting for it after a whole frame also shows bytes that follow the answer.
int frameSilenceMs(const LineSettings &line)
{
    constexpr int kShortestSilenceMs = 50;
    const int bitsPerCharacter = 1 + line.dataBits + (line.parity == 'N' ? 0 : 1) + line.stopBits;
    return qMax(kShortestSilenceMs, 35 * bitsPerCharacter * 100 / line.baud + 1);
}

// What came back to `request`: nothing once the time-out passed without a byte; otherwise
// every byte until the line fell silent.
QByteArray collectAnswer(DisplayLink &link, const QByteArray &request, bool binary)
{
    // Longest ASCII frame: ":", 2 x 255 digits, CR LF; anything longer is not one answer.
    constexpr std::size_t kLongestAnswer = 513;
    ReplyRule rule;
    rule.whole = [](std::string_view received) { return received.size() > kLongestAnswer; };
    rule.silenceMs = frameSilenceMs(link.line());
    rule.binary = binary;
    return link
        .exchange(request, rule, QStringLiteral("the Modbus request"),
                  QStringLiteral("the Modbus answer"))
        .reply;
}

[[noreturn]] void followedAnswer(const DisplayLink &link, const ModbusTarget &target,
                                 const QByteArray &extra, bool binary)
{
    invalidAnswer(link, target,
                  QStringLiteral("%1 %2 (%3) followed the answer")
                      .arg(extra.size())
                      .arg(extra.size() == 1 ? QStringLiteral("byte") : QStringLiteral("bytes"),
                           binary ? hexMessage(extra) : printable(extra.left(80))));
}

ModbusAnswer checkRtu(DisplayLink &link, const ModbusTarget &target)
{
    const std::string frame =
        qm::modbusRtuFrame(qm::readHoldingRegistersMessage(target.address, target.reg, 1));
    const QByteArray received =
        collectAnswer(link, QByteArray(frame.data(), qsizetype(frame.size())), true);
    if (received.isEmpty())
        noAnswer(link, target);

    // libmodbus judges what came as it would judge it on the line.
    const RtuJudgement judged = judgeRtuAnswer(received, target.address, target.reg, link.line());
    if (!judged.problem.isEmpty())
        throw Failure(kExitOther, QStringLiteral("%1: libmodbus cannot judge the answer of %2: %3")
                                      .arg(link.label(), where(link, target), judged.problem));
    const QString bytes = hexMessage(received);
    const int error = judged.error;
    ModbusAnswer answer;
    if (judged.result == 1) {
        answer.value = judged.value;
    } else if (error > MODBUS_ENOBASE && error < MODBUS_ENOBASE + MODBUS_EXCEPTION_MAX) {
        answer.exception = true;
        answer.exceptionCode = error - MODBUS_ENOBASE;
    } else if (error == EMBBADSLAVE && judged.unread == 0) {
        throw Failure(kExitNoReply, QStringLiteral("%1: a Modbus response came from another "
                                                   "address than %2: %3")
                                        .arg(link.label(), where(link, target), bytes));
    } else if (error == MODBUS_ENOBASE) {
        // libmodbus gives exception code n as its errno ENOBASE + n, and code 00 is none.
        invalidAnswer(
            link, target,
            QStringLiteral("%1: exception code 00, which Modbus does not define").arg(bytes));
    } else if (error == ETIMEDOUT) {
        invalidAnswer(link, target, QStringLiteral("%1: cut short of a whole answer").arg(bytes));
    } else {
        // Whatever else libmodbus cannot class is no answer a master could use, garbage
        // before a frame included.
        const QString why = QString::fromUtf8(modbus_strerror(error));
        invalidAnswer(
            link, target,
            judged.unread > 0
                ? QStringLiteral("%1: not one Modbus frame (libmodbus: %2)").arg(bytes, why)
                : QStringLiteral("%1: %2").arg(bytes, why));
    }
    if (judged.unread > 0)
        followedAnswer(link, target, received.right(judged.unread), true);
    return answer;
}

ModbusAnswer checkAscii(DisplayLink &link, const ModbusTarget &target)
{
    const std::string frame =
        qm::modbusAsciiFrame(qm::readHoldingRegistersMessage(target.address, target.reg, 1));
    const QByteArray request(frame.data(), qsizetype(frame.size()));
    // The answer is the first frame from ":" to CR LF; what comes before a ":" is noise.
    const QByteArray received = collectAnswer(link, request, false);
    const qsizetype start = received.indexOf(':');
    const qsizetype end = start < 0 ? -1 : received.indexOf("\r\n", start);
    if (received.isEmpty())
        noAnswer(link, target);
    if (end < 0)
        invalidAnswer(link, target,
                      QStringLiteral("\"%1\" holds no whole frame from \":\" to \\r\\n")
                          .arg(printable(received.left(80))));
    if (end + 2 < received.size())
        followedAnswer(link, target, received.mid(end + 2), false);

    const QByteArray answerFrame = received.mid(start, end + 2 - start);
    std::string why;
    const auto message = qm::parseModbusAsciiFrame(
        std::string_view(answerFrame.constData(), std::size_t(answerFrame.size())), &why);
    if (!message)
        invalidAnswer(
            link, target,
            QStringLiteral("\"%1\": %2").arg(printable(answerFrame), QString::fromStdString(why)));
    const qm::RegisterAnswer judged = qm::judgeRegisterAnswer(*message, target.address);
    ModbusAnswer answer;
    switch (judged.kind) {
    case qm::RegisterAnswer::Kind::Value:
        answer.value = judged.value;
        return answer;
    case qm::RegisterAnswer::Kind::Exception:
        answer.exception = true;
        answer.exceptionCode = judged.exception;
        return answer;
    case qm::RegisterAnswer::Kind::OtherAddress:
        throw Failure(kExitNoReply,
                      QStringLiteral("%1: a Modbus response came from address %2, "
                                     "not from %3")
                          .arg(link.label(), addressText(judged.address), where(link, target)));
    case qm::RegisterAnswer::Kind::Invalid:
        break;
    }
    invalidAnswer(link, target,
                  QStringLiteral("\"%1\": %2")
                      .arg(printable(answerFrame), QString::fromStdString(judged.why)));
}

} // namespace

ModbusAnswer checkModbus(DisplayLink &link, const ModbusTarget &target)
{
    return target.mode == 0 ? checkAscii(link, target) : checkRtu(link, target);
}

QString describeModbusCheck(const DisplayLink &link, const ModbusTarget &target,
                            const ModbusAnswer &answer)
{
    const QString head = QStringLiteral("Modbus %1, address %2, at %3: ")
                             .arg(modeName(target.mode), addressText(target.address),
                                  formatLineSettings(link.line()));
    if (!answer.exception)
        return head +
               QStringLiteral("holding register %1 reads %2 (0x%3)")
                   .arg(target.reg)
                   .arg(answer.value)
                   .arg(QStringLiteral("%1").arg(answer.value, 4, 16, QLatin1Char('0')).toUpper());
    return head + QStringLiteral("exception %1 (%2) to a read of holding register %3; the "
                                 "display answered at its address")
                      .arg(answer.exceptionCode, 2, 10, QLatin1Char('0'))
                      .arg(exceptionName(answer.exceptionCode))
                      .arg(target.reg);
}

QJsonObject modbusCheckJson(const ModbusTarget &target, const ModbusAnswer &answer)
{
    QJsonObject object = {{QStringLiteral("passed"), true},
                          {QStringLiteral("mode"), modeName(target.mode).toLower()},
                          {QStringLiteral("address"), addressText(target.address)},
                          {QStringLiteral("register"), target.reg}};
    if (answer.exception) {
        object.insert(QStringLiteral("answer"), QStringLiteral("exception"));
        object.insert(QStringLiteral("exception"), answer.exceptionCode);
        object.insert(QStringLiteral("exceptionText"), exceptionName(answer.exceptionCode));
    } else {
        object.insert(QStringLiteral("answer"), QStringLiteral("value"));
        object.insert(QStringLiteral("value"), answer.value);
    }
    return object;
}

QString modbusAddressProblem(int address)
{
    if (address <= qm::kMaxModbusAddress)
        return {};
    return QStringLiteral("address %1 is reserved by Modbus (slaves are 01 to %2): no Modbus "
                          "master reaches it")
        .arg(addressText(address), addressText(qm::kMaxModbusAddress));
}

FollowCheck modbusAfterWrite(DisplayLink &link, const CommsSettings &written)
{
    const ModbusTarget target{written.address, written.mode, 0};
    FollowCheck check;
    try {
        const ModbusAnswer answer = checkModbus(link, target);
        check.json = modbusCheckJson(target, answer);
        check.result =
            link.label() + QStringLiteral(": ") + describeModbusCheck(link, target, answer);
    } catch (const Failure &failure) {
        check.failure = failure.message();
        check.json = {{QStringLiteral("passed"), false},
                      {QStringLiteral("mode"), modeName(target.mode).toLower()},
                      {QStringLiteral("address"), addressText(target.address)},
                      {QStringLiteral("register"), target.reg},
                      {QStringLiteral("error"), failure.message()}};
    }
    return check;
}

QCommandLineOption modbusOption()
{
    return QCommandLineOption(QStringLiteral("modbus"),
                              QStringLiteral("with --follow, and in commission after the "
                                             "read-back: then one Modbus request (read "
                                             "holding register 0) at the new address, mode "
                                             "and line, as modbus-check does"));
}

} // namespace cli
