#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

// Whether the process has its own handler for `signal` yet (SigCgt in /proc), so the
// test knows when a signal will be handled rather than kill it outright.
bool catches(qint64 pid, int signal)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("SigCgt:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (signal - 1)) & 1;
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

    ::kill(pid_t(program.processId()), signal);
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QCOMPARE(QFile::exists(tracePath), trace);
}

void tst_Program::traceFileThatCannotBeWrittenIsRefused()
{
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(QUILLMARK_APP_PATH),
                  {QStringLiteral("--trace"), QStringLiteral("/nonexistent/trace.txt")});
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitCode(), 2);
    QVERIFY(program.readAllStandardError().contains("/nonexistent/trace.txt cannot be written"));
}

QTEST_GUILESS_MAIN(tst_Program)
#include "tst_program.moc"
