#include "seal.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonValue>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryFile>

namespace cli {
namespace {

// ssh-keygen answers in milliseconds; a key that asks for its passphrase on the terminal
// gets time for a person to type it, not for ever.
constexpr int kSignerMs = 60000;
constexpr int kVerifierMs = 10000;

struct Run
{
    int exitCode = -1; // -1: it did not finish
    QByteArray out;
    QString problem; // why it did not run to its end, or empty
};

Run runKeygen(const QStringList &arguments, const QByteArray &input, int deadlineMs)
{
    Run run;
    QProcess process;
    process.setProgram(QStringLiteral("ssh-keygen"));
    process.setArguments(arguments);
    process.start();
    if (!process.waitForStarted(deadlineMs)) {
        run.problem = QStringLiteral("ssh-keygen cannot be started (%1; it is in the package "
                                     "openssh-client)")
                          .arg(process.errorString());
        return run;
    }
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(deadlineMs)) {
        process.kill();
        process.waitForFinished(1000);
        run.problem =
            QStringLiteral("ssh-keygen did not finish within %1 s").arg(deadlineMs / 1000);
        return run;
    }
    run.out = process.readAllStandardOutput();
    const QString err = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    if (run.exitCode != 0)
        run.problem = err.isEmpty() ? QStringLiteral("ssh-keygen failed") : err.section('\n', 0, 0);
    return run;
}

} // namespace

QJsonObject sealHead()
{
    return {{QStringLiteral("seal"), true},
            {QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
            {QStringLiteral("host"), QSysInfo::machineHostName()}};
}

QByteArray sealMessage(const QJsonObject &seal)
{
    // Plain text, one field a line: what is signed is what a person can read back.
    return QStringLiteral("quillmark records seal\ncount %1\nlast %2\ntime %3\nhost %4\n")
        .arg(seal.value(QStringLiteral("count")).toInteger())
        .arg(seal.value(QStringLiteral("last")).toString(),
             seal.value(QStringLiteral("time")).toString(),
             seal.value(QStringLiteral("host")).toString())
        .toUtf8();
}

QString signSeal(const QString &key, QJsonObject &seal)
{
    const Run run =
        runKeygen({QStringLiteral("-q"), QStringLiteral("-Y"), QStringLiteral("sign"),
                   QStringLiteral("-f"), key, QStringLiteral("-n"), QLatin1String(kSealNamespace)},
                  sealMessage(seal), kSignerMs);
    if (!run.problem.isEmpty())
        return QStringLiteral("the seal cannot be signed with %1: %2").arg(key, run.problem);
    if (!run.out.startsWith("-----BEGIN SSH SIGNATURE-----"))
        return QStringLiteral("the seal cannot be signed with %1: ssh-keygen wrote no signature")
            .arg(key);
    seal.insert(QStringLiteral("signature"), QString::fromLatin1(run.out.trimmed()));
    return {};
}

QString signerProblem(const QString &key)
{
    if (!QFileInfo(key).isFile())
        return QStringLiteral("%1: no such key file").arg(key);
    QJsonObject trial = sealHead();
    return signSeal(key, trial);
}

QString appendSeal(RecordFile &file, const QString &key)
{
    return file.append(sealHead(), [&key](QJsonObject &seal) {
        seal.insert(QStringLiteral("count"), seal.value(QStringLiteral("seq")).toInteger() - 1);
        seal.insert(QStringLiteral("last"), seal.value(QStringLiteral("prev")));
        return signSeal(key, seal);
    });
}

QCommandLineOption signOption()
{
    return QCommandLineOption(QStringLiteral("sign"),
                              QStringLiteral("commission, apply --record: seal the records with "
                                             "an OpenSSH signature made with the private key "
                                             "KEY (ssh-keygen -Y sign)"),
                              QStringLiteral("KEY"));
}

SealVerdict verifySeal(const QString &allowedSigners, const QJsonObject &seal)
{
    QTemporaryFile signature;
    if (!signature.open() ||
        signature.write(seal.value(QStringLiteral("signature")).toString().toLatin1() + '\n') < 0 ||
        !signature.flush())
        return {
            SealVerdict::Kind::Failed,
            QStringLiteral("a temporary file cannot be written: %1").arg(signature.errorString())};
    // The signer's name is not in the seal: the allowed signers say whose key it is.
    const Run find =
        runKeygen({QStringLiteral("-Y"), QStringLiteral("find-principals"), QStringLiteral("-s"),
                   signature.fileName(), QStringLiteral("-f"), allowedSigners},
                  {}, kVerifierMs);
    if (find.exitCode == -1)
        return {SealVerdict::Kind::Failed, find.problem};
    if (find.exitCode != 0)
        return {SealVerdict::Kind::UnknownKey,
                QStringLiteral("signed with a key that is not in %1").arg(allowedSigners)};
    const QString principal = QString::fromUtf8(find.out).section('\n', 0, 0).trimmed();
    const Run verify =
        runKeygen({QStringLiteral("-Y"), QStringLiteral("verify"), QStringLiteral("-f"),
                   allowedSigners, QStringLiteral("-I"), principal, QStringLiteral("-n"),
                   QLatin1String(kSealNamespace), QStringLiteral("-s"), signature.fileName()},
                  sealMessage(seal), kVerifierMs);
    if (verify.exitCode == -1)
        return {SealVerdict::Kind::Failed, verify.problem};
    if (verify.exitCode != 0)
        return {
            SealVerdict::Kind::BadSignature,
            QStringLiteral("its signature does not match what it seals (%1)").arg(verify.problem)};
    return {};
}

} // namespace cli
