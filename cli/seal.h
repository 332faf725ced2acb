#pragma once

#include "records.h"

#include <QCommandLineOption>
#include <QJsonObject>
#include <QString>

// A seal: a record line that closes the lines before it with an OpenSSH file signature
// (ssh-keygen -Y sign) over their count and the last one's hash, so that a file cut short
// or rewritten from the start is told from the file that was sealed.
namespace cli {

// The signature's namespace: a signature made for anything else does not verify here.
inline constexpr char kSealNamespace[] = "quillmark-records";

// The seal's head: "seal", time (now, UTC), host; `count` and `last` are added when it is
// chained (the number of chain lines before it and the hash of the last of them).
QJsonObject sealHead();
// The bytes a seal's signature is made over.
QByteArray sealMessage(const QJsonObject &seal);

// Adds "signature" to `seal`, made with the private key at `key`; why it could not be made,
// or empty. ssh-keygen runs as a child process with a deadline.
QString signSeal(const QString &key, QJsonObject &seal);

// Why no seal can be signed with `key` (a missing key, one ssh-keygen refuses, no
// ssh-keygen), found before anything is sent; empty when one can.
QString signerProblem(const QString &key);
// Appends a seal signed with `key`, chained to the file's last line; why it could not be,
// or empty.
QString appendSeal(RecordFile &file, const QString &key);

// --sign KEY of commission and apply.
QCommandLineOption signOption();

struct SealVerdict
{
    enum class Kind { Good, UnknownKey, BadSignature, Failed } kind = Kind::Good;
    QString text; // for people, when not Good
};
// Checks the seal's signature against an allowed-signers file (ssh-keygen's format).
SealVerdict verifySeal(const QString &allowedSigners, const QJsonObject &seal);

} // namespace cli
