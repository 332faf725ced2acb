// A year of a station's records: writes a record file of 100,000 units, shaped as the
// station writes them and chained, and times quillmark-cli's report, report --check,
// report --csv and the station's resume over it, each as a process of its own.
//   quillmark-bench-records [--records N] [--runs R] FOLDER
// Prints key=value lines: <figure>_ms (wall, median), <figure>_cpu_ms (user + system, median:
// the figure a shared machine does not move) and <figure>_rss_kb (peak resident memory, the
// largest run) for report, check, csv and resume.
#include "records.h"
#include "dumpfile.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

struct Sample
{
    double ms = 0;
    double cpuMs = 0;
    long rssKb = 0;
    int status = -1;
};

double now()
{
    timespec ts = {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1e6;
}

// Runs `arguments` with its output thrown away; its wall time and peak memory.
Sample measure(const QStringList &arguments)
{
    std::vector<QByteArray> bytes;
    for (const QString &argument : arguments)
        bytes.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &argument : bytes)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    Sample sample;
    const double start = now();
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        rusage usage = {};
        if (::wait4(pid, &sample.status, 0, &usage) == pid) {
            sample.rssKb = usage.ru_maxrss;
            sample.cpuMs = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
                           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
        }
    }
    sample.ms = now() - start;
    posix_spawn_file_actions_destroy(&actions);
    return sample;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    int count = 100000;
    int runs = 3;
    while (args.size() > 1 && args.first().startsWith(QLatin1String("--"))) {
        const QString option = args.takeFirst();
        (option == QLatin1String("--records") ? count : runs) = args.takeFirst().toInt();
    }
    if (args.size() != 1 || count < 1 || runs < 1) {
        std::fprintf(stderr, "usage: quillmark-bench-records [--records N] [--runs R] FOLDER\n");
        return 2;
    }
    const QString folder = args.first();
    const QString path = folder + QStringLiteral("/records.jsonl");
    const QString templatePath = folder + QStringLiteral("/template.json");

    cli::DisplaySettings found;
    cli::DisplaySettings left = found;
    left.comms.baudCode = 2;
    left.blocks[0] = {1, 2};
    left.blocks[6] = {2, 3};
    QFile templateFile(templatePath);
    if (!templateFile.open(QIODevice::WriteOnly) || templateFile.write(cli::dumpText(left)) < 0)
        return 1;
    templateFile.close();

    // Written here rather than through the station: a synced line per unit would take the
    // benchmark minutes to write a year.
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return 1;
    QByteArray previous;
    for (int i = 0; i < count; ++i) {
        QJsonObject record = cli::recordHead(QStringLiteral("ann"));
        record.insert(QStringLiteral("port"), QStringLiteral("COM 5"));
        record.insert(QStringLiteral("device"), QStringLiteral("/dev/ttyUSB0"));
        record.insert(QStringLiteral("adapter"), QJsonValue());
        // Every address in turn, so that the resume that follows finds none left.
        found.comms.address = 1 + i % 250;
        left.comms.address = found.comms.address;
        record.insert(QStringLiteral("address"), cli::addressText(found.comms.address));
        record.insert(QStringLiteral("as_found"), cli::settingsObject(found));
        record.insert(QStringLiteral("as_left"), cli::settingsObject(left));
        record.insert(QStringLiteral("changes"), cli::settingsChanges(found, left));
        record.insert(QStringLiteral("modbus"), QJsonValue());
        const bool passed = i % 20 != 0;
        record.insert(QStringLiteral("outcome"),
                      passed ? QStringLiteral("pass") : QStringLiteral("fail"));
        if (!passed)
            record.insert(QStringLiteral("reason"),
                          QStringLiteral("read back: block 1 differs: wrote Float, 0.01; the "
                                         "display has Integer, 0"));
        record.insert(QStringLiteral("address_sent"), true);
        record.insert(QStringLiteral("duration_ms"), 812);
        record.insert(QStringLiteral("prev"),
                      QString::fromLatin1(previous.isNull() ? QByteArray(cli::kChainStart)
                                                            : cli::lineHash(previous)));
        record.insert(QStringLiteral("seq"), i + 1);
        previous = QJsonDocument(record).toJson(QJsonDocument::Compact);
        if (file.write(previous + '\n') < 0)
            return 1;
    }
    file.close();
    std::printf("records=%d\nbytes=%lld\n", count, static_cast<long long>(file.size()));

    const QString cli = QStringLiteral(QUILLMARK_CLI_PATH);
    const QList<QPair<QString, QStringList>> figures = {
        {QStringLiteral("report"), {cli, QStringLiteral("report"), path}},
        {QStringLiteral("check"), {cli, QStringLiteral("report"), path, QStringLiteral("--check")}},
        {QStringLiteral("csv"), {cli, QStringLiteral("report"), path, QStringLiteral("--csv")}},
        // Every address is spent: the station reads the file and ends at once.
        {QStringLiteral("resume"),
         {cli, QStringLiteral("--port"), QStringLiteral("/dev/null"), QStringLiteral("commission"),
          templatePath, QStringLiteral("--address"), QStringLiteral("01"),
          QStringLiteral("--record"), path}}};
    int failed = 0;
    for (const auto &[name, arguments] : figures) {
        std::vector<double> times;
        std::vector<double> cpu;
        long rss = 0;
        for (int run = 0; run < runs; ++run) {
            const Sample sample = measure(arguments);
            const int expected = name == QLatin1String("resume") ? 1 : 0;
            if (!WIFEXITED(sample.status) || WEXITSTATUS(sample.status) != expected) {
                std::fprintf(stderr, "%s: exit status %d\n", qPrintable(name), sample.status);
                ++failed;
            }
            times.push_back(sample.ms);
            cpu.push_back(sample.cpuMs);
            rss = std::max(rss, sample.rssKb);
        }
        std::sort(times.begin(), times.end());
        std::sort(cpu.begin(), cpu.end());
        std::printf("%s_ms=%.1f\n%s_cpu_ms=%.1f\n%s_rss_kb=%ld\n", qPrintable(name),
                    times[times.size() / 2], qPrintable(name), cpu[cpu.size() / 2],
                    qPrintable(name), rss);
    }
    return failed == 0 ? 0 : 1;
}
