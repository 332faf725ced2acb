#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

// Whether the process has its own handler for `signal` yet (SigCgt in /proc), so the
// test knows when a signal will be handled rather than kill it outright; with
// "SigIgn:", whether it ignores the signal.
bool catches(qint64 pid, int signal, const QByteArray &field = "SigCgt:")
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return (line.mid(field.size()).trimmed().toULongLong(nullptr, 16) >> (signal - 1)) & 1;
    }
    return false;
}

} // namespace

// The installed program as a whole: how it ends.
class tst_Program : public QObject
{
    Q_OBJECT

private slots:
    void terminationSignalsEndItCleanly_data();
    void terminationSignalsEndItCleanly();
    void traceFileThatCannotBeWrittenIsRefused_data();
    void traceFileThatCannotBeWrittenIsRefused();
};

void tst_Program::terminationSignalsEndItCleanly_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("trace");
    QTest::newRow("SIGTERM") << int(SIGTERM) << false;
    QTest::newRow("SIGINT") << int(SIGINT) << false;
    QTest::newRow("SIGHUP") << int(SIGHUP) << false;
    QTest::newRow("SIGTERM, with --trace") << int(SIGTERM) << true;
}

void tst_Program::terminationSignalsEndItCleanly()
{
    QFETCH(int, signal);
    QFETCH(bool, trace);
    QTemporaryDir dir;
    const QString tracePath = dir.filePath(QStringLiteral("trace.txt"));
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(QUILLMARK_APP_PATH),
                  trace ? QStringList{QStringLiteral("--trace"), tracePath} : QStringList());
    QVERIFY(program.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(catches(program.processId(), signal), 10000);
    // A trace FIFO whose reader went away must not end the window before it released its
    // port: SIGPIPE is ignored, as quillmark-cli does.
    QVERIFY(catches(program.processId(), SIGPIPE, "SigIgn:"));

    ::kill(pid_t(program.processId()), signal);
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QCOMPARE(QFile::exists(tracePath), trace);
}

void tst_Program::traceFileThatCannotBeWrittenIsRefused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("says");
    QTest::newRow("a missing folder") << QStringList{"--trace", "/nonexistent/trace.txt"}
                                      << QByteArray("/nonexistent/trace.txt cannot be written");
    QTest::newRow("no file after --trace")
        << QStringList{"--trace"} << QByteArray("quillmark: --trace: no file given");
    QTest::newRow("an empty --trace=") << QStringList{"--trace="} << QByteArray("no file given");
}

void tst_Program::traceFileThatCannotBeWrittenIsRefused()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, says);
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(QUILLMARK_APP_PATH), arguments);
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitCode(), 2);
    const QByteArray err = program.readAllStandardError();
    QVERIFY2(err.contains(says), err.constData());
}

QTEST_GUILESS_MAIN(tst_Program)
#include "tst_program.moc"
