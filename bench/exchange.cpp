// Times the real window's command exchange, frmMain::SendCommand(), against the simulated
// display running as a separate process on a pseudo-terminal.
//
//   quillmark-bench-exchange [--sim PATH] [--port N] [--count N] [--detail FILE]
//
// Prints key=value lines: the figures over all exchanges (none is left out as a warm-up,
// since the user's first exchange counts as much as any), then exit 0. Anything that keeps
// the figures from being taken (no simulator, no link, no reply): a reason and exit 1.
#include "commands.h"
#include "commcontrol.h"
#include "frmmain.h"
#include "replies.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

#ifndef QUILLMARK_SIM_PATH
#define QUILLMARK_SIM_PATH "quillmark-sim"
#endif

namespace {

double monotonicMs()
{
    timespec ts = {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

double cpuMs(int who)
{
    rusage usage = {};
    getrusage(who, &usage);
    auto ms = [](const timeval &tv) { return double(tv.tv_sec) * 1e3 + double(tv.tv_usec) / 1e3; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double worst(const std::vector<double> &values)
{
    return *std::max_element(values.begin(), values.end());
}

int fail(const QString &why)
{
    std::fprintf(stderr, "quillmark-bench-exchange: %s\n", qPrintable(why));
    return 1;
}

// Runs the event loop until `done()` holds, the simulator ends, or `timeoutMs` passes.
bool waitFor(const std::function<bool()> &done, QFileSystemWatcher &watcher, QProcess &sim,
             int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, &loop, [&] {
        if (done())
            loop.quit();
    });
    QObject::connect(&sim, &QProcess::finished, &loop, &QEventLoop::quit);
    deadline.start(timeoutMs);
    loop.exec();
    return done();
}

} // namespace

int main(int argc, char *argv[])
{
    QString simPath = QStringLiteral(QUILLMARK_SIM_PATH);
    int port = 9;
    int count = 25;
    QString detailPath;
    for (int i = 1; i + 1 < argc; i += 2) {
        const QByteArray option = argv[i];
        const QString value = QString::fromLocal8Bit(argv[i + 1]);
        if (option == "--sim")
            simPath = value;
        else if (option == "--port")
            port = value.toInt();
        else if (option == "--count")
            count = value.toInt();
        else if (option == "--detail")
            detailPath = value;
        else
            return fail(QStringLiteral("unknown option %1").arg(QString::fromLocal8Bit(option)));
    }
    if (count < 1)
        return fail(QStringLiteral("--count must be at least 1"));

    // A private link folder, so that neither a running simulator nor a real port of the
    // user's is touched, and the serial layer trusts it (its own, mode 0700).
    QTemporaryDir runtime;
    if (!runtime.isValid())
        return fail(QStringLiteral("no temporary folder"));
    const QString linkFolder = runtime.path() + QStringLiteral("/quillmark");
    if (::mkdir(QFile::encodeName(linkFolder).constData(), 0700) != 0 ||
        ::chmod(QFile::encodeName(linkFolder).constData(), 0700) != 0)
        return fail(QStringLiteral("cannot make %1").arg(linkFolder));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));

    QApplication app(argc, argv);

    // The simulator's trace goes to a file: read through a pipe it would cost this process
    // CPU in the middle of the very exchanges being measured.
    QProcess sim;
    sim.setProgram(simPath);
    sim.setArguments({QStringLiteral("--port"), QString::number(port)});
    sim.setStandardOutputFile(runtime.path() + QStringLiteral("/sim.log"));
    sim.setStandardErrorFile(runtime.path() + QStringLiteral("/sim.log"), QIODevice::Append);
    QFileSystemWatcher watcher({linkFolder});
    sim.start();
    if (!sim.waitForStarted(5000))
        return fail(QStringLiteral("cannot start %1: %2").arg(simPath, sim.errorString()));
    const QString link = linkFolder + QStringLiteral("/com%1").arg(port);
    if (!waitFor([&] { return QFileInfo(link).isSymLink(); }, watcher, sim, 10000)) {
        sim.kill();
        sim.waitForFinished(5000);
        return fail(QStringLiteral("the simulator published no %1").arg(link));
    }

    int status = 0;
    {
        frmMain window;
        window.show();
        // The user clicks a window that is already up: its first paint belongs to start-up,
        // not to the first exchange.
        if (!QTest::qWaitForWindowExposed(&window, 10000))
            qWarning("the window was not exposed; the first exchange includes its first paint");
        QCoreApplication::sendPostedEvents();
        auto *cm = window.findChild<CommControl *>(QStringLiteral("cm"));
        std::vector<double> wall, cpuProcess, cpuThread;
        QString problem;
        if (!cm) {
            problem = QStringLiteral("the window has no control named cm");
        } else {
            try {
                // The simulator's own settings; it listens at 9600 baud only.
                cm->setSettings(QStringLiteral("9600,E,8,1"));
                cm->setCommPort(port);
                cm->setPortOpen(true);
                window.strCommand = QByteArray::fromStdString(qm::readCommsCommand());
                for (int i = 0; i < count && problem.isEmpty(); ++i) {
                    const double cpu0 = cpuMs(RUSAGE_SELF);
                    const double thread0 = cpuMs(RUSAGE_THREAD);
                    const double t0 = monotonicMs();
                    const bool sent = window.SendCommand();
                    const double t1 = monotonicMs();
                    const double thread1 = cpuMs(RUSAGE_THREAD);
                    const double cpu1 = cpuMs(RUSAGE_SELF);
                    const QByteArray &reply = window.strResponse;
                    if (!sent)
                        problem = QStringLiteral("exchange %1 was refused").arg(i + 1);
                    else if (!qm::judgeCommsReply(std::string_view(reply.constData(),
                                                                   std::size_t(reply.size())))
                                  .complete())
                        problem = QStringLiteral("exchange %1 got no complete reply: \"%2\"")
                                      .arg(i + 1)
                                      .arg(QString::fromLatin1(reply.toPercentEncoding()));
                    wall.push_back(t1 - t0);
                    cpuProcess.push_back(cpu1 - cpu0);
                    cpuThread.push_back(thread1 - thread0);
                }
                cm->setPortOpen(false);
            } catch (const CommError &error) {
                problem = error.description();
            }
        }

        if (!problem.isEmpty()) {
            status = fail(problem);
        } else {
            if (!detailPath.isEmpty()) {
                QFile detail(detailPath);
                if (detail.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
                    detail.write("exchange wall_ms cpu_process_ms cpu_thread_ms\n");
                    for (std::size_t i = 0; i < wall.size(); ++i)
                        detail.write(QStringLiteral("%1 %2 %3 %4\n")
                                         .arg(i + 1)
                                         .arg(wall[i], 0, 'f', 3)
                                         .arg(cpuProcess[i], 0, 'f', 3)
                                         .arg(cpuThread[i], 0, 'f', 3)
                                         .toLatin1());
                }
            }
            std::printf("qt=%s\n", qVersion());
            std::printf("exchanges=%zu\n", wall.size());
            std::printf("wall_median_ms=%.2f\n", median(wall));
            std::printf("wall_worst_ms=%.2f\n", worst(wall));
            std::printf("wall_best_ms=%.2f\n", *std::min_element(wall.begin(), wall.end()));
            std::printf("cpu_median_ms=%.3f\n", median(cpuProcess));
            std::printf("cpu_worst_ms=%.3f\n", worst(cpuProcess));
            std::printf("cpu_thread_median_ms=%.3f\n", median(cpuThread));
        }
    }

    sim.terminate();
    if (!sim.waitForFinished(5000)) {
        sim.kill();
        sim.waitForFinished(5000);
    }
    return status;
}
