#include "modbuscheck.h"

#include "console.h"
#include "displaylink.h"
#include "exitcodes.h"
#include "modbusframe.h"

#include <QElapsedTimer>

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

QString hexMessage(const std::string &message)
{
    QStringList bytes;
    for (char c : message)
        bytes << QStringLiteral("%1")
                     .arg(int(static_cast<unsigned char>(c)), 2, 16, QLatin1Char('0'))
                     .toUpper();
    return bytes.join(QLatin1Char(' '));
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

ModbusAnswer checkRtu(DisplayLink &link, Console &console, const ModbusTarget &target)
{
    const LineSettings line = link.line();
    // The context never connects: it gets the descriptor the port control opened under our
    // locks, and modbus_close is never called on it, since that would close our port.
    const std::unique_ptr<modbus_t, void (*)(modbus_t *)> context(
        modbus_new_rtu(link.label().toLocal8Bit().constData(), line.baud, line.parity,
                       line.dataBits, line.stopBits),
        modbus_free);
    if (!context || modbus_set_slave(context.get(), target.address) != 0)
        throw Failure(kExitOther, QStringLiteral("%1: libmodbus refuses %2: %3")
                                      .arg(link.label(), where(link, target),
                                           QString::fromUtf8(modbus_strerror(errno))));
    const int ms = link.timeoutMs();
    modbus_set_response_timeout(context.get(), uint32_t(ms / 1000), uint32_t(ms % 1000) * 1000);

    link.discardStale();
    console.trace(QStringLiteral("%1: send Modbus RTU %2 and its CRC")
                      .arg(link.label(), hexMessage(qm::readHoldingRegistersMessage(
                                             target.address, target.reg, 1))));
    QElapsedTimer clock;
    clock.start();
    uint16_t value = 0;
    int result = -1;
    int error = 0;
    link.comm().lendDescriptor([&](int fd) {
        modbus_set_socket(context.get(), fd);
        result = modbus_read_registers(context.get(), target.reg, 1, &value);
        error = errno;
        modbus_set_socket(context.get(), -1);
    });
    const double elapsed = double(clock.nsecsElapsed()) / 1e6;
    console.trace(QStringLiteral("%1: Modbus outcome after %2 ms: %3")
                      .arg(link.label())
                      .arg(elapsed, 0, 'f', 1)
                      .arg(result == 1 ? QStringLiteral("register value %1").arg(value)
                                       : QString::fromUtf8(modbus_strerror(error))));

    ModbusAnswer answer;
    if (result == 1) {
        answer.value = value;
        return answer;
    }
    if (error > MODBUS_ENOBASE && error < MODBUS_ENOBASE + MODBUS_EXCEPTION_MAX) {
        answer.exception = true;
        answer.exceptionCode = error - MODBUS_ENOBASE;
        return answer;
    }
    switch (error) {
    case ETIMEDOUT:
        noAnswer(link, target);
    case EMBBADSLAVE:
        throw Failure(kExitNoReply, QStringLiteral("%1: a Modbus response came from another "
                                                   "address than %2")
                                        .arg(link.label(), where(link, target)));
    case EMBBADCRC:
    case EMBBADDATA:
    case EMBBADEXC:
    case EMBUNKEXC:
    case EMBMDATA:
        invalidAnswer(link, target, QString::fromUtf8(modbus_strerror(error)));
    case EIO:
    case ENXIO:
    case ECONNRESET:
        throw CommError(CommError::Kind::Lost,
                        link.label() + QStringLiteral(": the device was disconnected"));
    default:
        throw CommError(CommError::Kind::Io,
                        QStringLiteral("%1: the Modbus request failed: %2")
                            .arg(link.label(), QString::fromLocal8Bit(std::strerror(error))));
    }
}

// The judged answer to a read of one register; `shown` is the frame as messages show it.
ModbusAnswer answerOf(const DisplayLink &link, const ModbusTarget &target,
                      const std::string &message, const QString &shown)
{
    const qm::RegisterAnswer judged = qm::judgeRegisterAnswer(message, target.address);
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
                  QStringLiteral("\"%1\": %2").arg(shown, QString::fromStdString(judged.why)));
}

// RTU through a network line. libmodbus is not used there: a network line has no serial
// descriptor to lend, libmodbus's RTU on a socket is unofficial (an RTU context handed a
// socket), and it would not double 0xFF for RFC 2217, where a CRC holding 0xFF is common.
// The frame is built and its CRC checked in protocol/, and it goes through the line's own
// exchange, which escapes for the Telnet layer where there is one and traces every byte.
ModbusAnswer checkRtuThroughLine(DisplayLink &link, const ModbusTarget &target)
{
    const std::string frame =
        qm::modbusRtuFrame(qm::readHoldingRegistersMessage(target.address, target.reg, 1));
    ReplyRule rule;
    rule.whole = qm::modbusRtuAnswerEnded;
    const QByteArray received =
        link.exchange(QByteArray(frame.data(), qsizetype(frame.size())), rule,
                      QStringLiteral("the Modbus request"))
            .reply;
    if (received.isEmpty())
        noAnswer(link, target);
    const std::string_view bytes(received.constData(), std::size_t(received.size()));
    std::string why = "no whole RTU frame";
    std::optional<std::string> message;
    if (qm::modbusRtuAnswerEnded(bytes))
        message = qm::parseModbusRtuFrame(bytes, &why);
    if (!message)
        invalidAnswer(link, target,
                      QStringLiteral("\"%1\": %2").arg(printable(received), QString::fromStdString(why)));
    return answerOf(link, target, *message, printable(received));
}

ModbusAnswer checkAscii(DisplayLink &link, const ModbusTarget &target)
{
    const std::string frame =
        qm::modbusAsciiFrame(qm::readHoldingRegistersMessage(target.address, target.reg, 1));
    const QByteArray request(frame.data(), qsizetype(frame.size()));
    ReplyRule rule;
    rule.whole = qm::modbusAsciiEnded;
    // The answer is the first frame from ":" to CR LF; what comes before a ":" is noise.
    const QByteArray received =
        link.exchange(request, rule, QStringLiteral("the Modbus request")).reply;
    const qsizetype start = received.indexOf(':');
    const qsizetype end = start < 0 ? -1 : received.indexOf("\r\n", start);
    if (received.isEmpty())
        noAnswer(link, target);
    if (end < 0)
        invalidAnswer(link, target,
                      QStringLiteral("\"%1\" holds no whole frame from \":\" to \\r\\n")
                          .arg(printable(received.left(80))));

    const QByteArray answerFrame = received.mid(start, end + 2 - start);
    std::string why;
    const auto message = qm::parseModbusAsciiFrame(
        std::string_view(answerFrame.constData(), std::size_t(answerFrame.size())), &why);
    if (!message)
        invalidAnswer(
            link, target,
            QStringLiteral("\"%1\": %2").arg(printable(answerFrame), QString::fromStdString(why)));
    return answerOf(link, target, *message, printable(answerFrame));
}

} // namespace

ModbusAnswer checkModbus(DisplayLink &link, Console &console, const ModbusTarget &target)
{
    if (target.mode == 0)
        return checkAscii(link, target);
    if (link.comm().networkLine())
        return checkRtuThroughLine(link, target);
    return checkRtu(link, console, target);
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

FollowCheck modbusAfterWrite(DisplayLink &link, Console &console, const CommsSettings &written)
{
    const ModbusTarget target{written.address, written.mode, 0};
    FollowCheck check;
    try {
        const ModbusAnswer answer = checkModbus(link, console, target);
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
