#include "commands.h"
#include "modbusframe.h"
#include "replies.h"

#include <QtTest>

#include <string>

class tst_Protocol : public QObject
{
    Q_OBJECT

private slots:
    void commandsAreByteExact_data();
    void commandsAreByteExact();
    void commsReplyAppliesPassingPrefix_data();
    void commsReplyAppliesPassingPrefix();
    void blockReplyAppliesPassingPrefix_data();
    void blockReplyAppliesPassingPrefix();
    void digitFieldReading_data();
    void digitFieldReading();
    void hexFieldReading_data();
    void hexFieldReading();
    void modbusAsciiAnswersAreJudged_data();
    void modbusAsciiAnswersAreJudged();
    void replyEndsAtItsCarriageReturn_data();
    void replyEndsAtItsCarriageReturn();
    void eachCommandKnowsItsReply_data();
    void eachCommandKnowsItsReply();
};

void tst_Protocol::commandsAreByteExact_data()
{
    QTest::addColumn<QByteArray>("built");
    QTest::addColumn<QByteArray>("expected");
    auto row = [](const char *name, const std::string &built, const QByteArray &expected) {
        QTest::newRow(name) << QByteArray::fromStdString(built) << expected;
    };
    row("$M", qm::readCommsCommand(), QByteArray::fromHex("244D0D"));
    row("$C RTU 9600 8 Even 0A", qm::writeCommsCommand({1, 3, 8, 1, 0x0A}),
        QByteArray::fromHex("24433133383130410D"));
    row("$C ASCII 1200 7 Odd 01", qm::writeCommsCommand({0, 0, 7, 2, 0x01}), "$C007201\r");
    row("$C None 8 FA", qm::writeCommsCommand({0, 3, 8, 0, 0xFA}), "$C0380FA\r");
    row("Modbus ASCII read of register 0 at 0A",
        qm::modbusAsciiFrame(qm::readHoldingRegistersMessage(0x0A, 0, 1)), ":0A0300000001F2\r\n");
    // The LRC is the sum's two's complement in one byte: F7+03+FF+FF+00+01 = 2F9, so 07.
    row("Modbus ASCII LRC wraps",
        qm::modbusAsciiFrame(qm::readHoldingRegistersMessage(0xF7, 0xFFFF, 1)),
        ":F703FFFF000107\r\n");
    // libmodbus's request for the same read, CRC low byte first.
    row("Modbus RTU read of register 0 at 0A",
        qm::modbusRtuFrame(qm::readHoldingRegistersMessage(0x0A, 0, 1)),
        QByteArray::fromHex("0A03000000018571"));
    row("Modbus RTU read of register FFFF at F7",
        qm::modbusRtuFrame(qm::readHoldingRegistersMessage(0xF7, 0xFFFF, 1)),
        QByteArray::fromHex("F703FFFF000190B8"));
    // A CRC holding 0xFF: a network line must carry it as it is (see tst_cli).
    row("Modbus RTU read of register 33 at 0E",
        qm::modbusRtuFrame(qm::readHoldingRegistersMessage(0x0E, 33, 1)),
        QByteArray::fromHex("0E0300210001D4FF"));
    row("$N block 3", qm::readBlockCommand(2), QByteArray::fromHex("244E320D"));
    row("$N block 1", qm::readBlockCommand(0), "$N0\r");
    row("$N block 9", qm::readBlockCommand(8), "$N8\r");
    row("$D block 3 Long 0.01", qm::writeBlockCommand(2, {1, 2}),
        QByteArray::fromHex("24443231320D"));
    row("$D block 3 Float 0.01", qm::writeBlockCommand(2, {2, 2}), "$D222\r");
    row("$D block 9 Float 0.00001", qm::writeBlockCommand(8, {2, 5}), "$D825\r");
    row("$D block 1 Integer 0", qm::writeBlockCommand(0, {0, 0}), "$D000\r");
    row("$D block 9 Integer 0", qm::writeBlockCommand(8, {0, 0}), "$D800\r");
}

void tst_Protocol::commandsAreByteExact()
{
    QFETCH(QByteArray, built);
    QFETCH(QByteArray, expected);
    QCOMPARE(built, expected);
}

void tst_Protocol::commsReplyAppliesPassingPrefix_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("passed");
    // Values of the fields that passed: mode, baud, data bits, parity, address.
    QTest::addColumn<QList<int>>("values");
    // The fields that pass read strictly (a non-digit refused), -1 when as many as above.
    QTest::addColumn<int>("strictPassed");

    const QList<int> rtu9600Even0A = {1, 3, 8, 1, 10};
    QTest::newRow("valid") << QByteArray(">13810A\r") << 5 << rtu9600Even0A << -1;
    QTest::newRow("one byte too many") << QByteArray(">13810A\rX") << 0 << QList<int>() << -1;
    QTest::newRow("stray byte in front") << QByteArray("?>13810A\r") << 0 << QList<int>() << -1;
    QTest::newRow("no carriage return") << QByteArray(">13810A") << 0 << QList<int>() << -1;
    QTest::newRow("line feed for CR") << QByteArray(">13810A\n") << 0 << QList<int>() << -1;
    QTest::newRow("wrong first char") << QByteArray("<13810A\r") << 0 << QList<int>() << -1;
    QTest::newRow("empty") << QByteArray() << 0 << QList<int>() << -1;
    QTest::newRow("CR only") << QByteArray("\r") << 0 << QList<int>() << -1;
    QTest::newRow("mode non-digit reads 0")
        << QByteArray(">X3810A\r") << 5 << QList<int>{0, 3, 8, 1, 10} << 0;
    QTest::newRow("mode 2 fails") << QByteArray(">23810A\r") << 0 << QList<int>() << -1;
    QTest::newRow("baud 4 fails") << QByteArray(">14810A\r") << 1 << QList<int>{1} << -1;
    QTest::newRow("baud non-digit reads 0")
        << QByteArray(">1?810A\r") << 5 << QList<int>{1, 0, 8, 1, 10} << 1;
    QTest::newRow("data bits 6 fails") << QByteArray(">13610A\r") << 2 << QList<int>{1, 3} << -1;
    QTest::newRow("data bits 9 fails") << QByteArray(">13910A\r") << 2 << QList<int>{1, 3} << -1;
    QTest::newRow("data bits non-digit fails")
        << QByteArray(">13X10A\r") << 2 << QList<int>{1, 3} << -1;
    QTest::newRow("data bits 7") << QByteArray(">00720A\r") << 5 << QList<int>{0, 0, 7, 2, 10}
                                 << -1;
    QTest::newRow("parity 3 fails") << QByteArray(">13830A\r") << 3 << QList<int>{1, 3, 8} << -1;
    QTest::newRow("parity non-digit reads 0")
        << QByteArray(">138-0A\r") << 5 << QList<int>{1, 3, 8, 0, 10} << 3;
    QTest::newRow("address 00 passes")
        << QByteArray(">138100\r") << 5 << QList<int>{1, 3, 8, 1, 0} << -1;
    QTest::newRow("address FA passes")
        << QByteArray(">1381FA\r") << 5 << QList<int>{1, 3, 8, 1, 250} << -1;
    QTest::newRow("address fa lower case")
        << QByteArray(">1381fa\r") << 5 << QList<int>{1, 3, 8, 1, 250} << -1;
    QTest::newRow("address FB fails")
        << QByteArray(">1381FB\r") << 4 << QList<int>{1, 3, 8, 1} << -1;
    QTest::newRow("address FF fails")
        << QByteArray(">1381FF\r") << 4 << QList<int>{1, 3, 8, 1} << -1;
    QTest::newRow("address stops at G")
        << QByteArray(">13811G\r") << 5 << QList<int>{1, 3, 8, 1, 1} << 4;
    QTest::newRow("address no hex digit")
        << QByteArray(">1381G1\r") << 5 << QList<int>{1, 3, 8, 1, 0} << 4;
    QTest::newRow("address leading blank")
        << QByteArray(">1381 A\r") << 5 << QList<int>{1, 3, 8, 1, 10} << 4;
    QTest::newRow("address leading tab")
        << QByteArray(">1381\tB\r") << 5 << QList<int>{1, 3, 8, 1, 11} << 4;
    QTest::newRow("address leading line feed")
        << QByteArray(">1381\nC\r") << 5 << QList<int>{1, 3, 8, 1, 12} << 4;
    QTest::newRow("address with NUL")
        << QByteArray(">1381\0A\r", 8) << 5 << QList<int>{1, 3, 8, 1, 0} << 4;
}

void tst_Protocol::commsReplyAppliesPassingPrefix()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, passed);
    QFETCH(QList<int>, values);

    QFETCH(int, strictPassed);

    const qm::CommsReply r = qm::judgeCommsReply(reply.toStdString());
    const qm::CommsReply strict =
        qm::judgeCommsReply(reply.toStdString(), qm::FieldReading::Strict);
    QCOMPARE(strict.passed, strictPassed < 0 ? passed : strictPassed);
    QCOMPARE(r.passed, passed);
    QCOMPARE(r.complete(), passed == qm::CommsReply::kFields);
    const qm::FieldValues &fields = r.values;
    for (int i = 0; i < values.size(); ++i)
        QCOMPARE(fields[std::size_t(i)], values[i]);
}

void tst_Protocol::blockReplyAppliesPassingPrefix_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("passed");
    QTest::addColumn<QList<int>>("values"); // block, data type, decimal point
    QTest::addColumn<int>("strictPassed");  // -1: as many as above

    QTest::newRow("block 3 Long 0.01") << QByteArray(">212\r") << 3 << QList<int>{2, 1, 2} << -1;
    QTest::newRow("other block applied as it comes")
        << QByteArray(">512\r") << 3 << QList<int>{5, 1, 2} << -1;
    QTest::newRow("block 9 Float 0.00001")
        << QByteArray(">825\r") << 3 << QList<int>{8, 2, 5} << -1;
    QTest::newRow("all zero") << QByteArray(">000\r") << 3 << QList<int>{0, 0, 0} << -1;
    QTest::newRow("data type 3 fails") << QByteArray(">232\r") << 1 << QList<int>{2} << -1;
    QTest::newRow("decimal point 6 fails") << QByteArray(">216\r") << 2 << QList<int>{2, 1} << -1;
    QTest::newRow("block 9 fails at once") << QByteArray(">9ab\r") << 0 << QList<int>() << -1;
    QTest::newRow("non-digits read 0") << QByteArray(">ABC\r") << 3 << QList<int>{0, 0, 0} << 0;
    QTest::newRow("4 characters") << QByteArray(">21\r") << 0 << QList<int>() << -1;
    QTest::newRow("6 characters") << QByteArray(">2120\r") << 0 << QList<int>() << -1;
    QTest::newRow("no reply") << QByteArray() << 0 << QList<int>() << -1;
    QTest::newRow("wrong first char") << QByteArray("<212\r") << 0 << QList<int>() << -1;
    QTest::newRow("wrong last char") << QByteArray(">2120") << 0 << QList<int>() << -1;
}

void tst_Protocol::blockReplyAppliesPassingPrefix()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, passed);
    QFETCH(QList<int>, values);

    QFETCH(int, strictPassed);

    const qm::BlockReply r = qm::judgeBlockReply(reply.toStdString());
    QCOMPARE(qm::judgeBlockReply(reply.toStdString(), qm::FieldReading::Strict).passed,
             strictPassed < 0 ? passed : strictPassed);
    QCOMPARE(r.passed, passed);
    const qm::FieldValues &fields = r.values;
    for (int i = 0; i < values.size(); ++i)
        QCOMPARE(fields[std::size_t(i)], values[i]);
}

void tst_Protocol::digitFieldReading_data()
{
    QTest::addColumn<char>("field");
    QTest::addColumn<int>("value");
    QTest::newRow("0") << '0' << 0;
    QTest::newRow("7") << '7' << 7;
    QTest::newRow("9") << '9' << 9;
    // Neighbours of the digits in ASCII, and bytes a noisy line delivers, read as 0.
    QTest::newRow("/ before 0") << '/' << 0;
    QTest::newRow(": after 9") << ':' << 0;
    QTest::newRow("letter") << 'X' << 0;
    QTest::newRow("blank") << ' ' << 0;
    QTest::newRow("NUL") << '\0' << 0;
    QTest::newRow("carriage return") << '\r' << 0;
    QTest::newRow("high byte") << char(0xB9) << 0;
}

void tst_Protocol::digitFieldReading()
{
    QFETCH(char, field);
    QFETCH(int, value);
    QCOMPARE(qm::readDigitField(field), value);
}

void tst_Protocol::hexFieldReading_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<int>("value");
    QTest::newRow("0A") << QByteArray("0A") << 10;
    QTest::newRow("FA") << QByteArray("FA") << 250;
    QTest::newRow("ff") << QByteArray("ff") << 255;
    QTest::newRow("00") << QByteArray("00") << 0;
    QTest::newRow("stops at G") << QByteArray("1G") << 1;
    QTest::newRow("no digit") << QByteArray("G1") << 0;
    QTest::newRow("blank then digit") << QByteArray(" 7") << 7;
    QTest::newRow("blanks only") << QByteArray("  ") << 0;
    QTest::newRow("CR is not skipped") << QByteArray("\r7") << 0;
    QTest::newRow("empty") << QByteArray() << 0;
    QTest::newRow("long run saturates, stays out of range")
        << QByteArray("FFFFFFFFFFFFFFFFFFFF") << 0xFFFFFFF;
}

void tst_Protocol::hexFieldReading()
{
    QFETCH(QByteArray, field);
    QFETCH(int, value);
    QCOMPARE(qm::readHexField(field.toStdString()), value);
}

void tst_Protocol::modbusAsciiAnswersAreJudged_data()
{
    using Kind = qm::RegisterAnswer::Kind;
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("kind"); // -1: the frame itself is refused
    QTest::addColumn<int>("value");

    QTest::newRow("value 0") << QByteArray(":0A03020000F1\r\n") << int(Kind::Value) << 0;
    QTest::newRow("value 9600") << QByteArray(":0A030225804C\r\n") << int(Kind::Value) << 9600;
    QTest::newRow("exception 02") << QByteArray(":0A830271\r\n") << int(Kind::Exception) << 2;
    QTest::newRow("exception 0B") << QByteArray(":0A830B68\r\n") << int(Kind::Exception) << 11;
    QTest::newRow("exception 00") << QByteArray(":0A830073\r\n") << int(Kind::Invalid) << 0;
    QTest::newRow("exception 0C") << QByteArray(":0A830C67\r\n") << int(Kind::Invalid) << 0;
    QTest::newRow("another address")
        << QByteArray(":0B03020000F0\r\n") << int(Kind::OtherAddress) << 0;
    QTest::newRow("another function") << QByteArray(":0A04020000F0\r\n") << int(Kind::Invalid) << 0;
    QTest::newRow("two registers")
        << QByteArray(":0A030400000000EF\r\n") << int(Kind::Invalid) << 0;
    QTest::newRow("wrong LRC") << QByteArray(":0A03020000F2\r\n") << -1 << 0;
    QTest::newRow("lower-case digits") << QByteArray(":0a03020000f1\r\n") << -1 << 0;
    QTest::newRow("odd number of digits") << QByteArray(":0A0302000F1\r\n") << -1 << 0;
    QTest::newRow("no CR") << QByteArray(":0A03020000F1\n") << -1 << 0;
    QTest::newRow("no colon") << QByteArray("0A03020000F1\r\n") << -1 << 0;
    QTest::newRow("address and LRC only") << QByteArray(":0AF6\r\n") << -1 << 0;
}

void tst_Protocol::modbusAsciiAnswersAreJudged()
{
    QFETCH(QByteArray, frame);
    QFETCH(int, kind);
    QFETCH(int, value);

    std::string why;
    const auto message = qm::parseModbusAsciiFrame(frame.toStdString(), &why);
    if (kind < 0) {
        QVERIFY(!message);
        QVERIFY(!why.empty());
        return;
    }
    QVERIFY2(message, why.c_str());
    const qm::RegisterAnswer answer = qm::judgeRegisterAnswer(*message, 0x0A);
    QCOMPARE(int(answer.kind), kind);
    if (answer.kind == qm::RegisterAnswer::Kind::Value)
        QCOMPARE(answer.value, value);
    if (answer.kind == qm::RegisterAnswer::Kind::Exception)
        QCOMPARE(answer.exception, value);
}

void tst_Protocol::replyEndsAtItsCarriageReturn_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("ended");

    QTest::newRow("$M reply arriving") << QByteArray(">1381") << 8 << false;
    QTest::newRow("$M reply whole") << QByteArray(">13810A\r") << 8 << true;
    QTest::newRow("$M reply too long already") << QByteArray("~>13810A0") << 8 << true;
    QTest::newRow("$M reply cut short") << QByteArray(">13\r") << 8 << true;
    QTest::newRow("$C reply arriving") << QByteArray(">") << 0 << false;
    QTest::newRow("$C reply whole") << QByteArray(">\r") << 0 << true;
}

void tst_Protocol::replyEndsAtItsCarriageReturn()
{
    QFETCH(QByteArray, received);
    QFETCH(int, length);
    QFETCH(bool, ended);
    QCOMPARE(qm::replyEnded(std::string_view(received.constData(), std::size_t(received.size())),
                            length),
             ended);
}

void tst_Protocol::eachCommandKnowsItsReply_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("length");
    // Whether the reply passes: judged complete for "$M" and "$N", an acknowledgement for
    // "$C" and "$D".
    QTest::addColumn<bool>("passes");
    auto row = [](const char *name, const std::string &command, const QByteArray &reply, int length,
                  bool passes) {
        QTest::newRow(name) << QByteArray::fromStdString(command) << reply << length << passes;
    };
    row("$M valid", qm::readCommsCommand(), ">13810A\r", 8, true);
    row("$M short", qm::readCommsCommand(), ">1381\r", 8, false);
    row("$N valid", qm::readBlockCommand(2), ">212\r", 5, true);
    row("$N garbled", qm::readBlockCommand(2), ">2?2\r", 5, false);
    row("$C acknowledged", qm::writeCommsCommand({1, 3, 8, 1, 0x0A}), ">\r", 0, true);
    row("$C echoed settings acknowledge too", qm::writeCommsCommand({1, 3, 8, 1, 0x0A}),
        ">13810A\r", 0, true);
    row("$C without \">\"", qm::writeCommsCommand({1, 3, 8, 1, 0x0A}), "13810A\r", 0, false);
    row("$D without CR", qm::writeBlockCommand(2, {1, 2}), ">", 0, false);
    row("$D nothing", qm::writeBlockCommand(2, {1, 2}), "", 0, false);
}

void tst_Protocol::eachCommandKnowsItsReply()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, reply);
    QFETCH(int, length);
    QFETCH(bool, passes);
    const std::string_view bytes(reply.constData(), std::size_t(reply.size()));
    QCOMPARE(qm::replyLength(command.toStdString()), length);
    const qm::CommandRow *entry = qm::commandOf(command.toStdString());
    QVERIFY(entry);
    const std::string problem = qm::judgeReply(*entry, bytes, qm::FieldReading::Strict).why;
    QVERIFY2(problem.empty() == passes, problem.c_str());
}

QTEST_APPLESS_MAIN(tst_Protocol)
#include "tst_protocol.moc"
