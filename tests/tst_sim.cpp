#include "bench.h"
#include "displaysim.h"
#include "modbusslave.h"
#include "simoptions.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <optional>

using namespace qm::sim;

namespace {

std::string_view view(const QByteArray &bytes)
{
    return {bytes.constData(), static_cast<std::size_t>(bytes.size())};
}

QByteArray repliesOf(const std::vector<SimStep> &steps)
{
    QByteArray replies;
    for (const SimStep &step : steps)
        replies += QByteArray::fromStdString(step.reply);
    return replies;
}

// The display of the worked examples: RTU, 9600, 8, Even, 0A; block 3 Long with 0.01.
DisplayState exampleDisplay()
{
    DisplayState state;
    state.blocks[2] = {1, 2};
    return state;
}

QByteArray exchange(DisplaySim &sim, const QByteArray &bytes, std::optional<int> pcBaud = 9600)
{
    return repliesOf(sim.receive(view(bytes), pcBaud));
}

// A PC-side file descriptor that closes itself.
struct Fd
{
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

bool setLine(int fd, speed_t speed)
{
    termios line = {};
    if (::tcgetattr(fd, &line) != 0)
        return false;
    ::cfmakeraw(&line);
    ::cfsetispeed(&line, speed);
    ::cfsetospeed(&line, speed);
    return ::tcsetattr(fd, TCSANOW, &line) == 0;
}

// Everything that arrives until `count` bytes are in or the deadline passes.
QByteArray readUpTo(int fd, int count, int timeoutMs)
{
    QByteArray bytes;
    QDeadlineTimer deadline(timeoutMs);
    while (bytes.size() < count && !deadline.hasExpired()) {
        pollfd pfd = {fd, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(deadline.remainingTime())) <= 0)
            continue;
        char buffer[64];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0)
            bytes.append(buffer, n);
    }
    return bytes;
}

} // namespace

class tst_Sim : public QObject
{
    Q_OBJECT

private slots:
    void answersCommandsByteExact_data();
    void answersCommandsByteExact();
    void commandSplitIntoChunks_data();
    void commandSplitIntoChunks();
    void writesShowInLaterReads_data();
    void writesShowInLaterReads();
    void ignoresCommandsAtOtherBaudRate_data();
    void ignoresCommandsAtOtherBaudRate();
    void listensAtNewBaudRateAfterAnsweringC();
    void faultsChangeOnlyTheAnswer_data();
    void faultsChangeOnlyTheAnswer();
    void benchUnitsComeAndGo();
    void floodWithoutCarriageReturnStaysBounded();
    void modbusOnTheSameLine_data();
    void modbusOnTheSameLine();
    void rtuFrameEndsAfterItsSilentInterval_data();
    void rtuFrameEndsAfterItsSilentInterval();
    void randomBytesNeverWedgeTheLine();
    void traceShowsBytesPrintably_data();
    void traceShowsBytesPrintably();
    void parsesOptions_data();
    void parsesOptions();

    void servesPtyThroughLinkAndRemovesItOnSigterm();
    void readsPcBaudRateFromPty();
    void linkFolderRules_data();
    void linkFolderRules();
    void linkOfAKilledSimulatorIsReplaced();
};

void tst_Sim::answersCommandsByteExact_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("$M") << QByteArray("$M\r") << QByteArray(">13810A\r");
    QTest::newRow("$N block 3") << QByteArray("$N2\r") << QByteArray(">212\r");
    QTest::newRow("$N block 1") << QByteArray("$N0\r") << QByteArray(">000\r");
    QTest::newRow("$N block 9") << QByteArray("$N8\r") << QByteArray(">800\r");
    QTest::newRow("$C same settings") << QByteArray("$C13810A\r") << QByteArray(">\r");
    QTest::newRow("$D same block") << QByteArray("$D212\r") << QByteArray(">\r");
    QTest::newRow("$C address 01") << QByteArray("$C138101\r") << QByteArray(">\r");
    QTest::newRow("$C address FA") << QByteArray("$C0072FA\r") << QByteArray(">\r");
    QTest::newRow("$ restarts a command") << QByteArray("$N2$M\r") << QByteArray(">13810A\r");
    QTest::newRow("LF after CR dropped") << QByteArray("$M\r\n") << QByteArray(">13810A\r");
    QTest::newRow("two commands") << QByteArray("$M\r$N2\r") << QByteArray(">13810A\r>212\r");

    const char *const unanswered[][2] = {
        {"$M with a field", "$M1\r"},
        {"$N without block", "$N\r"},
        {"$N block code 9", "$N9\r"},
        {"$N non-digit block", "$NX\r"},
        {"$N two digits", "$N12\r"},
        {"$C too short", "$C13810\r"},
        {"$C too long", "$C13810AB\r"},
        {"$C mode 2", "$C23810A\r"},
        {"$C baud 4", "$C14810A\r"},
        {"$C data bits 6", "$C13610A\r"},
        {"$C data bits 9", "$C13910A\r"},
        {"$C parity 3", "$C13830A\r"},
        {"$C address 00", "$C138100\r"},
        {"$C address FB", "$C1381FB\r"},
        {"$C lower-case hex", "$C13810a\r"},
        {"$C blank in address", "$C1381 A\r"},
        {"$C unselected mode", "$C-13810A\r"},
        {"$D type 3", "$D232\r"},
        {"$D point 6", "$D216\r"},
        {"$D block code 9", "$D900\r"},
        {"$D too short", "$D21\r"},
        {"lower-case letter", "$m\r"},
        {"unknown letter", "$X\r"},
        {"bare $", "$\r"},
        {"missing CR", "$M"},
        {"LF instead of CR", "$M\n"},
        {"CR before $", "\r$"},
    };
    for (const auto &row : unanswered)
        QTest::newRow(row[0]) << QByteArray(row[1]) << QByteArray();
}

void tst_Sim::answersCommandsByteExact()
{
    QFETCH(QByteArray, received);
    QFETCH(QByteArray, reply);
    DisplaySim sim(exampleDisplay());
    QCOMPARE(exchange(sim, received), reply);
}

void tst_Sim::commandSplitIntoChunks_data()
{
    QTest::addColumn<int>("chunkSize");
    for (int size : {1, 2, 3, 4, 5, 7})
        QTest::addRow("%d byte(s) at a time", size) << size;
}

void tst_Sim::commandSplitIntoChunks()
{
    QFETCH(int, chunkSize);
    // In ASCII mode bytes before a "$" are dropped; in RTU mode they would start a frame.
    for (int mode : {0, 1}) {
        const QByteArray stream = QByteArray(mode == 0 ? "zz" : "") + "$D825\r$N8\r$M\r";
        DisplayState state = exampleDisplay();
        state.mode = mode;
        DisplaySim sim(state);
        QByteArray replies;
        for (int at = 0; at < stream.size(); at += chunkSize)
            replies += exchange(sim, stream.mid(at, chunkSize));
        QCOMPARE(replies, ">\r>825\r>" + QByteArray::number(mode) + "3810A\r");
    }
}

void tst_Sim::writesShowInLaterReads_data()
{
    QTest::addColumn<QByteArray>("writes");
    QTest::addColumn<QByteArray>("read");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("$C every field")
        << QByteArray("$C0072FA\r") << QByteArray("$M\r") << QByteArray(">0072FA\r");
    QTest::newRow("rejected $C keeps all")
        << QByteArray("$C0071FB\r") << QByteArray("$M\r") << QByteArray(">13810A\r");
    QTest::newRow("$D block 9") << QByteArray("$D825\r") << QByteArray("$N8\r")
                                << QByteArray(">825\r");
    QTest::newRow("$D leaves other blocks")
        << QByteArray("$D825\r") << QByteArray("$N7\r") << QByteArray(">700\r");
    QTest::newRow("rejected $D keeps block")
        << QByteArray("$D236\r") << QByteArray("$N2\r") << QByteArray(">212\r");
    QTest::newRow("last $D wins") << QByteArray("$D200\r$D221\r") << QByteArray("$N2\r")
                                  << QByteArray(">221\r");
    QTest::newRow("$D does not touch comms")
        << QByteArray("$D821\r") << QByteArray("$M\r") << QByteArray(">13810A\r");
}

void tst_Sim::writesShowInLaterReads()
{
    QFETCH(QByteArray, writes);
    QFETCH(QByteArray, read);
    QFETCH(QByteArray, reply);
    DisplaySim sim(exampleDisplay());
    // The PC's rate is left unread so that a baud change does not hide the read.
    exchange(sim, writes, std::nullopt);
    QCOMPARE(exchange(sim, read, std::nullopt), reply);
}

void tst_Sim::ignoresCommandsAtOtherBaudRate_data()
{
    QTest::addColumn<int>("displayBaudCode");
    QTest::addColumn<int>("pcBaud"); // -1: the PC's setting cannot be read
    QTest::addColumn<bool>("answered");

    QTest::newRow("both 9600") << 3 << 9600 << true;
    QTest::newRow("both 1200") << 0 << 1200 << true;
    QTest::newRow("PC 4800, display 9600") << 3 << 4800 << false;
    QTest::newRow("PC 9600, display 2400") << 1 << 9600 << false;
    QTest::newRow("PC 19200") << 3 << 19200 << false;
    QTest::newRow("PC rate without number") << 3 << 0 << false;
    QTest::newRow("PC rate unreadable") << 0 << -1 << true;
}

void tst_Sim::ignoresCommandsAtOtherBaudRate()
{
    QFETCH(int, displayBaudCode);
    QFETCH(int, pcBaud);
    QFETCH(bool, answered);
    DisplayState state;
    state.baudCode = displayBaudCode;
    DisplaySim sim(state);
    const std::optional<int> rate = pcBaud < 0 ? std::nullopt : std::optional<int>(pcBaud);

    QCOMPARE(!exchange(sim, "$M\r", rate).isEmpty(), answered);
    // An ignored write must not be stored either.
    QCOMPARE(exchange(sim, "$D825\r", rate).isEmpty(), !answered);
    QCOMPARE(sim.state().blocks[8].dataType == 2, answered);
}

void tst_Sim::listensAtNewBaudRateAfterAnsweringC()
{
    DisplaySim sim;
    const auto steps = sim.receive("$C12810A\r", 9600);
    QCOMPARE(repliesOf(steps), QByteArray(">\r"));
    QVERIFY(QByteArray::fromStdString(steps.front().trace.back()).contains("4800"));

    QCOMPARE(exchange(sim, "$M\r", 9600), QByteArray());
    const auto ignored = sim.receive("$M\r", 9600);
    QVERIFY(QByteArray::fromStdString(ignored.front().trace.back()).contains("ignored"));
    QCOMPARE(exchange(sim, "$M\r", 4800), QByteArray(">12810A\r"));
}

void tst_Sim::faultsChangeOnlyTheAnswer_data()
{
    QTest::addColumn<bool>("silent");
    QTest::addColumn<bool>("noise");
    QTest::addColumn<bool>("stubborn");
    QTest::addColumn<QByteArray>("replies");
    QTest::addColumn<int>("stored");

    QTest::newRow("none") << false << false << false << QByteArray(">\r>13810A\r") << 5;
    QTest::newRow("silent") << true << false << false << QByteArray() << 5;
    QTest::newRow("noise") << false << true << false << QByteArray("~>\r~>13810A\r") << 5;
    // Acknowledged all the same: only a read-back shows that the block was not kept.
    QTest::newRow("stubborn") << false << false << true << QByteArray(">\r>13810A\r")
                              << exampleDisplay().blocks[8].decimalPoint;
}

void tst_Sim::faultsChangeOnlyTheAnswer()
{
    QFETCH(bool, silent);
    QFETCH(bool, noise);
    QFETCH(bool, stubborn);
    QFETCH(QByteArray, replies);
    QFETCH(int, stored);
    DisplaySim sim(exampleDisplay(), Faults{silent, noise, stubborn});
    QCOMPARE(exchange(sim, "$D825\r$M\r$X\r"), replies);
    QCOMPARE(sim.state().blocks[8].decimalPoint, stored);
}

void tst_Sim::benchUnitsComeAndGo()
{
    Bench bench(DisplayState{}, Faults{}, {2});
    QCOMPARE(exchange(*bench.unit(), "$M\r"), QByteArray(">13810A\r"));
    QCOMPARE(bench.next().size(), std::size_t(2)); // left, arrived
    QCOMPARE(bench.number(), 2);
    // Its own address and a block of its own; it acknowledges a write and keeps its block.
    QCOMPARE(exchange(*bench.unit(), "$M\r$N1\r$D100\r$N1\r"),
             QByteArray(">13810B\r>111\r>\r>111\r"));
    QCOMPARE(bench.leave().size(), std::size_t(1));
    QVERIFY(!bench.unit());
    QVERIFY(bench.leave().empty());
    bench.next();
    QCOMPARE(exchange(*bench.unit(), "$M\r$D100\r$N1\r"), QByteArray(">13810C\r>\r>100\r"));
    QCOMPARE(benchUnit(DisplayState{0, 3, 8, 1, 0xFA, {}}, 2).address, 0x01);
}

void tst_Sim::floodWithoutCarriageReturnStaysBounded()
{
    DisplaySim sim;
    QByteArray flood(1 << 20, 'x');
    for (int i = 0; i < flood.size(); i += 97)
        flood[i] = (i % 2) ? '$' : static_cast<char>(i & 0xFF);
    const auto steps = sim.receive(view(flood), 9600);
    QVERIFY(sim.pendingSize() < CommandFramer::kMaxCommand);
    for (const SimStep &step : steps) {
        QVERIFY(step.reply.empty());
        for (const std::string &line : step.trace)
            QVERIFY2(line.size() < 120, line.c_str());
    }
    QCOMPARE(exchange(sim, "$M\r"), QByteArray(">13810A\r"));
}

void tst_Sim::modbusOnTheSameLine_data()
{
    // Chunks arrive back to back; an empty one stands for a silence, and one follows the
    // last. Frames are written out with CRC and LRC computed elsewhere, not by the simulator.
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<QByteArray>("replies");

    auto hex = [](const char *bytes) { return QByteArray::fromHex(bytes); };
    const QByteArray read0 = hex("0A0300000001"
                                 "8571");
    const QByteArray value0 = hex("0A03020000"
                                  "1D85");
    const QByteArray silence;
    constexpr int kAscii = 0;
    constexpr int kRtu = 1;

    QTest::newRow("RTU read at its address") << kRtu << QByteArrayList{read0} << value0;
    QTest::newRow("RTU block 3's type and point") << kRtu
                                                  << QByteArrayList{hex("0A0300040002"
                                                                        "84B1")}
                                                  << hex("0A030400010002"
                                                         "90F2");
    QTest::newRow("RTU settings registers") << kRtu
                                            << QByteArrayList{hex("0A0300120005"
                                                                  "24B7")}
                                            << hex("0A030A0001258000080001000A"
                                                   "4044");
    QTest::newRow("RTU outside the map: exception 02") << kRtu
                                                       << QByteArrayList{hex("0A0300170001"
                                                                             "3575")}
                                                       << hex("0A8302"
                                                              "B133");
    QTest::newRow("RTU write to the read-only map: exception 01")
        << kRtu
        << QByteArrayList{hex("0A0600000001"
                              "4971")}
        << hex("0A8601"
               "F262");
    // A bad count is answered at once, not after libmodbus's pause for a master's retries.
    QTest::newRow("RTU count 0: exception 03") << kRtu
                                               << QByteArrayList{hex("0A0300000000"
                                                                     "44B1")}
                                               << hex("0A8303"
                                                      "70F3");
    QTest::newRow("RTU count 65535: exception 03, then $M")
        << kRtu << QByteArrayList{hex("0A030000FFFF4501"), silence, "$M\r"}
        << hex("0A830370F3") + ">13810A\r";
    QTest::newRow("RTU bit count 0: exception 03")
        << kRtu << QByteArrayList{hex("0A01000000003D71")} << hex("0A81037193");
    // 80 to FF are exception answers, no request: there is no function byte to answer with.
    QTest::newRow("RTU function 80: no answer")
        << kRtu << QByteArrayList{hex("0A8000000001C0AF")} << QByteArray();
    QTest::newRow("RTU function FF: no answer")
        << kRtu << QByteArrayList{hex("0AFF00000001D565")} << QByteArray();
    QTest::newRow("RTU another address") << kRtu
                                         << QByteArrayList{hex("0B0300000001"
                                                               "84A0")}
                                         << QByteArray();
    QTest::newRow("RTU broadcast") << kRtu
                                   << QByteArrayList{hex("000300000001"
                                                         "85DB")}
                                   << QByteArray();
    QTest::newRow("RTU wrong CRC") << kRtu
                                   << QByteArrayList{hex("0A0300000001"
                                                         "8572")}
                                   << QByteArray();
    QTest::newRow("RTU frame in two chunks")
        << kRtu << QByteArrayList{read0.left(3), read0.mid(3)} << value0;
    QTest::newRow("RTU frame cut by a silence")
        << kRtu << QByteArrayList{read0.left(3), silence, read0.mid(3)} << QByteArray();
    QTest::newRow("RTU then $M") << kRtu << QByteArrayList{read0, silence, "$M\r"}
                                 << value0 + ">13810A\r";
    QTest::newRow("$M then RTU") << kRtu << QByteArrayList{"$M\r", read0} << ">13810A\r" + value0;
    QTest::newRow("RTU garbage and $M in one burst: one frame")
        << kRtu << QByteArrayList{QByteArray("x\r\0\xff$M\r", 8)} << QByteArray();
    QTest::newRow("RTU garbage, a silence, $M")
        << kRtu << QByteArrayList{QByteArray("x\r\0\xff", 5), silence, "$M\r"}
        << QByteArray(">13810A\r");
    QTest::newRow("$C moves the address") << kRtu
                                          << QByteArrayList{"$C138111\r", silence, read0, silence,
                                                            hex("110300000001"
                                                                "869A")}
                                          << ">\r" + hex("1103020000"
                                                         "7987");
    QTest::newRow("$C to ASCII: RTU no longer answered")
        << kRtu << QByteArrayList{"$C03810A\r", silence, read0, silence, ":0A0300000001F2\r\n"}
        << QByteArray(">\r:0A03020000F1\r\n");

    QTest::newRow("$C to ASCII and a request in one burst")
        << kRtu << QByteArrayList{"$C03810A\r:0A0300000001F2\r\n"}
        << QByteArray(">\r:0A03020000F1\r\n");
    QTest::newRow("ASCII read at its address")
        << kAscii << QByteArrayList{":0A0300000001F2\r\n"} << QByteArray(":0A03020000F1\r\n");
    QTest::newRow("ASCII wrong LRC")
        << kAscii << QByteArrayList{":0A0300000001F3\r\n"} << QByteArray();
    QTest::newRow("ASCII another address")
        << kAscii << QByteArrayList{":0B0300000001F1\r\n"} << QByteArray();
    QTest::newRow("ASCII RTU bytes are no frame")
        << kAscii << QByteArrayList{read0} << QByteArray();
    QTest::newRow("ASCII garbage before $")
        << kAscii << QByteArrayList{QByteArray("x\r\0\xff$M\r", 8)} << QByteArray(">03810A\r");
    QTest::newRow("ASCII $ abandons a frame")
        << kAscii << QByteArrayList{":0A03$M\r"} << QByteArray(">03810A\r");
    QTest::newRow("ASCII NUL and CR in a frame")
        << kAscii << QByteArrayList{QByteArray(":0A\0\r0300000001F2\r\n", 19)} << QByteArray();
}

void tst_Sim::modbusOnTheSameLine()
{
    QFETCH(int, mode);
    QFETCH(QByteArrayList, chunks);
    QFETCH(QByteArray, replies);

    DisplayState state = exampleDisplay();
    state.mode = mode;
    DisplaySim sim(state);
    const auto start = SimClock::now();
    auto now = start;
    QByteArray received;
    std::vector<SimStep> steps;
    QElapsedTimer clock;
    clock.start();
    for (const QByteArray &chunk : chunks) {
        if (chunk.isEmpty())
            now += std::chrono::seconds(1);
        else
            for (SimStep &step : sim.receive(view(chunk), 9600, now))
                steps.push_back(std::move(step));
    }
    for (SimStep &step : sim.silence(now + std::chrono::seconds(1), 9600))
        steps.push_back(std::move(step));
    // Time is the simulated clock's; the simulator itself never waits inside an answer.
    QVERIFY2(clock.elapsed() < 250, QByteArray::number(clock.elapsed()).constData());
    received = repliesOf(steps);
    QCOMPARE(received.toHex(' '), replies.toHex(' '));
    for (const SimStep &step : steps) {
        for (const std::string &line : step.trace) {
            for (char c : line)
                QVERIFY2(static_cast<unsigned char>(c) >= 0x20, printable(line).c_str());
        }
    }
}

void tst_Sim::rtuFrameEndsAfterItsSilentInterval_data()
{
    QTest::addColumn<int>("baudCode");
    QTest::addColumn<int>("gapMicroseconds");
    QTest::addColumn<bool>("oneFrame");

    // 3.5 characters of 11 bits: 4010 us at 9600 baud, 32083 us at 1200.
    QTest::newRow("9600, 3.9 ms") << 3 << 3900 << true;
    QTest::newRow("9600, 4.1 ms") << 3 << 4100 << false;
    QTest::newRow("1200, 32 ms") << 0 << 32000 << true;
    QTest::newRow("1200, 32.2 ms") << 0 << 32200 << false;
}

void tst_Sim::rtuFrameEndsAfterItsSilentInterval()
{
    QFETCH(int, baudCode);
    QFETCH(int, gapMicroseconds);
    QFETCH(bool, oneFrame);

    DisplayState state;
    state.baudCode = baudCode;
    DisplaySim sim(state);
    const int rate = baudRateOf(baudCode);
    const QByteArray request = QByteArray::fromHex("0A03000000018571");
    const auto start = SimClock::now();
    const auto later = start + std::chrono::microseconds(gapMicroseconds);
    QByteArray replies = repliesOf(sim.receive(view(request.left(4)), rate, start));
    QVERIFY(sim.frameDue().has_value());
    replies += repliesOf(sim.silence(later, rate));
    replies += repliesOf(sim.receive(view(request.mid(4)), rate, later));
    replies += repliesOf(sim.silence(later + std::chrono::seconds(1), rate));
    QCOMPARE(!replies.isEmpty(), oneFrame);
    QVERIFY(!sim.frameDue());
}

void tst_Sim::randomBytesNeverWedgeTheLine()
{
    // Whatever arrives in whatever chunks and pauses, the line comes back: after a silence
    // a set-up command and a Modbus request are answered, in either mode.
    for (int mode : {0, 1}) {
        DisplayState state;
        state.mode = mode;
        DisplaySim sim(state);
        auto now = SimClock::now();
        QRandomGenerator random(20261208 + mode);
        for (int i = 0; i < 2000; ++i) {
            QByteArray chunk(random.bounded(1, 300), Qt::Uninitialized);
            for (char &c : chunk)
                c = char(random.bounded(256));
            if (random.bounded(4) == 0)
                chunk[random.bounded(int(chunk.size()))] = mode == 1 ? '$' : ':';
            for (const SimStep &step : sim.receive(view(chunk), 9600, now)) {
                for (const std::string &line : step.trace)
                    QVERIFY2(line.size() < 200, line.c_str());
            }
            now += std::chrono::microseconds(random.bounded(8000));
        }
        now += std::chrono::seconds(1);
        sim.silence(now, 9600);
        const QByteArray replies = repliesOf(sim.receive("$M\r", 9600, now));
        QCOMPARE(replies, mode == 1 ? QByteArray(">13810A\r") : QByteArray(">03810A\r"));
    }
}

void tst_Sim::traceShowsBytesPrintably_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");

    QTest::newRow("reply") << QByteArray(">13810A\r") << QString(">13810A\\r");
    QTest::newRow("line feed and tab") << QByteArray("\n\t") << QString("\\n\\t");
    QTest::newRow("backslash") << QByteArray("a\\r") << QString("a\\\\r");
    QTest::newRow("control and high bytes")
        << QByteArray("\0\x1b\x7f\xff", 4) << QString("\\x00\\x1B\\x7F\\xFF");
}

void tst_Sim::traceShowsBytesPrintably()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(QString::fromStdString(printable(view(bytes))), text);
}

void tst_Sim::parsesOptions_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("commsReply");

    const QByteArray defaults(">13810A\r");
    QTest::newRow("none") << QStringList() << true << 1 << defaults;
    QTest::newRow("every setting")
        << QStringList{"--port", "250", "--mode",   "ascii", "--baud",    "1200",
                       "--bits", "7",   "--parity", "odd",   "--address", "fa"}
        << true << 250 << QByteArray(">0072FA\r");
    QTest::newRow("name=value") << QStringList{"--port=3", "--address=1", "--parity=None"} << true
                                << 3 << QByteArray(">138001\r");
    QTest::newRow("a Modbus exception for every request")
        << QStringList{"--modbus-exception", "00"} << true << 1 << defaults;

    const QStringList invalid[] = {
        {"--port", "0"},
        {"--port", "251"},
        {"--baud", "19200"},
        {"--bits", "6"},
        {"--bits", "7", "--parity", "none"},
        {"--parity=none", "--bits=7"},
        {"--parity", "mark"},
        {"--mode", "tcp"},
        {"--address", "00"},
        {"--address", "FB"},
        {"--address", "00A"},
        {"--delay", "-5"},
        {"--delay", "60001"},
        {"--delay"},
        {"--bench-cycle", "50"},
        {"--stubborn-unit", "0"},
        {"--modbus-exception", "100"},
        {"--modbus-exception", "G0"},
        {"--bench=1"},
        {"--block", "0:long:1"},
        {"--block", "10:long:1"},
        {"--block", "3:double:1"},
        {"--block", "3:long:6"},
        {"--block", "3:long"},
        {"--silent=1"},
        {"--help=x"},
        {"--bogus"},
        {"com1"},
    };
    for (const QStringList &args : invalid)
        QTest::newRow(qPrintable(args.join(' '))) << args << false << 0 << QByteArray();
}

void tst_Sim::parsesOptions()
{
    QFETCH(QStringList, args);
    QFETCH(bool, valid);
    QFETCH(int, port);
    QFETCH(QByteArray, commsReply);

    std::vector<std::string> argv;
    for (const QString &arg : args)
        argv.push_back(arg.toStdString());
    const ParsedOptions parsed = parseOptions(argv);
    QCOMPARE(parsed.error.empty(), valid);
    if (!valid)
        return;
    QCOMPARE(parsed.options.port, port);
    DisplaySim sim(parsed.options.state);
    QCOMPARE(exchange(sim, "$M\r", std::nullopt), commsReply);
}

#ifdef QUILLMARK_SIM_PATH

namespace {

// The simulator as a child whose link folder lives in a fresh runtime folder.
struct SimRun
{
    QTemporaryDir runtime;
    QProcess process;
    QByteArray output;

    QString folder() const { return runtime.path() + "/quillmark"; }
    QString link() const { return folder() + "/com1"; }

    void start(const QStringList &args = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_RUNTIME_DIR", runtime.path());
        process.setProcessEnvironment(env);
        process.start(QUILLMARK_SIM_PATH, args);
    }
    bool traced(const char *text)
    {
        output += process.readAllStandardOutput();
        return output.contains(text);
    }
};

} // namespace

void tst_Sim::servesPtyThroughLinkAndRemovesItOnSigterm()
{
    SimRun sim;
    sim.start();
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(sim.link()).exists(), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(sim.traced("serving COM 1"), 5000);

    {
        Fd pc{::open(QFile::encodeName(sim.link()).constData(), O_RDWR | O_NOCTTY)};
        QVERIFY(pc.fd >= 0);
        QVERIFY(setLine(pc.fd, B9600));
        QCOMPARE(::write(pc.fd, "$M\r", 3), ssize_t(3));
        QCOMPARE(readUpTo(pc.fd, 8, 5000), QByteArray(">13810A\r"));
    }
    QTRY_VERIFY_WITH_TIMEOUT(sim.traced("send >13810A\\r"), 5000);

    sim.process.terminate();
    QVERIFY(sim.process.waitForFinished(5000));
    QCOMPARE(sim.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.process.exitCode(), 0);
    QVERIFY(!QFileInfo(sim.link()).isSymLink());
}

// The baud rule depends on the master seeing the line settings the PC side sets.
void tst_Sim::readsPcBaudRateFromPty()
{
    SimRun sim;
    sim.start({"--baud", "4800"});
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(sim.link()).exists(), 5000);
    Fd pc{::open(QFile::encodeName(sim.link()).constData(), O_RDWR | O_NOCTTY)};
    QVERIFY(pc.fd >= 0);

    QVERIFY(setLine(pc.fd, B9600));
    QCOMPARE(::write(pc.fd, "$M\r", 3), ssize_t(3));
    QTRY_VERIFY_WITH_TIMEOUT(sim.traced("PC line at 9600 baud"), 5000);

    QVERIFY(setLine(pc.fd, B4800));
    QCOMPARE(::write(pc.fd, "$M\r", 3), ssize_t(3));
    QCOMPARE(readUpTo(pc.fd, 8, 5000), QByteArray(">12810A\r"));

    sim.process.terminate();
    QVERIFY(sim.process.waitForFinished(5000));
}

void tst_Sim::linkFolderRules_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("starts");

    QTest::newRow("folder missing") << "none" << true;
    QTest::newRow("dangling link replaced") << "dangling" << true;
    QTest::newRow("folder open to others") << "open" << false;
    QTest::newRow("folder is a symlink") << "symlink" << false;
    QTest::newRow("link to an existing device") << "device" << false;
    QTest::newRow("com1 is a plain file") << "file" << false;
}

void tst_Sim::linkFolderRules()
{
    QFETCH(QString, setup);
    QFETCH(bool, starts);
    SimRun sim;
    const QByteArray folder = QFile::encodeName(sim.folder());
    const QByteArray link = QFile::encodeName(sim.link());
    if (setup == "symlink") {
        const QByteArray real = QFile::encodeName(sim.runtime.path() + "/real");
        QCOMPARE(::mkdir(real.constData(), 0700), 0);
        QCOMPARE(::symlink(real.constData(), folder.constData()), 0);
    } else if (setup != "none") {
        QCOMPARE(::mkdir(folder.constData(), 0700), 0);
        QCOMPARE(::chmod(folder.constData(), setup == "open" ? 0755 : 0700), 0);
    }
    if (setup == "dangling")
        QCOMPARE(::symlink("/dev/quillmark-gone", link.constData()), 0);
    if (setup == "device")
        QCOMPARE(::symlink("/dev/null", link.constData()), 0);
    if (setup == "file")
        QVERIFY(QFile(sim.link()).open(QIODevice::WriteOnly));

    sim.start();
    if (!starts) {
        QVERIFY(sim.process.waitForFinished(5000));
        QCOMPARE(sim.process.exitCode(), 1);
        QVERIFY(!sim.process.readAllStandardError().isEmpty());
        if (setup == "device")
            QCOMPARE(QFileInfo(sim.link()).symLinkTarget(), QString("/dev/null"));
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(sim.link()).exists(), 5000);
    QVERIFY(QFileInfo(sim.link()).symLinkTarget().startsWith("/dev/pts/"));
    struct stat info = {};
    QCOMPARE(::lstat(folder.constData(), &info), 0);
    QCOMPARE(info.st_mode & 077, 0u);
    sim.process.terminate();
    QVERIFY(sim.process.waitForFinished(5000));
}

// kill -9 leaves the link behind; once its pty number has gone to another simulator the
// link leads there, yet a new simulator on the old port must still start and take it.
void tst_Sim::linkOfAKilledSimulatorIsReplaced()
{
    QTemporaryDir runtime;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    const QString link = runtime.path() + "/quillmark/com1";
    auto start = [&](QProcess &sim, const QString &port) {
        sim.setProcessEnvironment(env);
        sim.start(QUILLMARK_SIM_PATH, {"--port", port});
        QVERIFY(sim.waitForStarted(5000));
    };
    // Serving once its first trace line is out; a refusal ends the process instead.
    auto serving = [](QProcess &sim) {
        while (!sim.canReadLine() && sim.waitForReadyRead(5000)) {
        }
        return sim.canReadLine() && sim.state() == QProcess::Running;
    };

    QProcess killed;
    start(killed, "1");
    QVERIFY(serving(killed));
    QProcess second; // a live simulator's port is not taken
    start(second, "1");
    QVERIFY(second.waitForFinished(5000));
    QCOMPARE(second.exitCode(), 1);
    QVERIFY2(second.readAllStandardError().contains("served by another simulator"), "");

    killed.kill();
    QVERIFY(killed.waitForFinished(5000));
    QVERIFY(QFileInfo(link).isSymLink());
    QProcess other; // most likely gets the freed pty number
    start(other, "2");
    QVERIFY(serving(other));

    QProcess fresh;
    start(fresh, "1");
    QVERIFY2(serving(fresh), fresh.readAllStandardError().constData());
    QVERIFY(fresh.readAllStandardOutput().contains(
        ("on " + QFileInfo(link).symLinkTarget() + " ").toUtf8()));
    {
        Fd pc{::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY)};
        QVERIFY(pc.fd >= 0);
        QVERIFY(setLine(pc.fd, B9600));
        QCOMPARE(::write(pc.fd, "$M\r", 3), ssize_t(3));
        QCOMPARE(readUpTo(pc.fd, 8, 5000), QByteArray(">13810A\r"));
    }
    for (QProcess *sim : {&other, &fresh}) {
        sim->terminate();
        QVERIFY(sim->waitForFinished(5000));
        QCOMPARE(sim->exitCode(), 0);
    }
    QVERIFY(!QFileInfo::exists(link + ".lock"));
}

#else

void tst_Sim::servesPtyThroughLinkAndRemovesItOnSigterm()
{
    QSKIP("quillmark-sim is not part of this build");
}
void tst_Sim::readsPcBaudRateFromPty()
{
    QSKIP("quillmark-sim is not part of this build");
}
void tst_Sim::linkFolderRules_data() {}
void tst_Sim::linkFolderRules()
{
    QSKIP("quillmark-sim is not part of this build");
}
void tst_Sim::linkOfAKilledSimulatorIsReplaced()
{
    QSKIP("quillmark-sim is not part of this build");
}

#endif

QTEST_GUILESS_MAIN(tst_Sim)
#include "tst_sim.moc"
