#pragma once

#include "records.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <array>
#include <vector>

// The audit of a record file: its chain of "prev" hashes walked line by line, and its
// seals checked against the lines before them and, given an allowed-signers file, their
// signatures.
namespace cli {

struct ChainState
{
    int records = 0;   // units' records
    int lines = 0;     // lines of the file that are not empty
    int unchained = 0; // lines written before the chain
    int seals = 0;
    bool signaturesChecked = false;
    int badLine = 0; // the first line that breaks it, 0 when none does
    // "changed", "removed", "inserted", "swapped", "broken", "not a record", "seal mismatch",
    // "unsealed", "bad signature", "unknown key", "cannot verify"
    QString kind;
    QString problem; // for people
    bool intact() const { return kind.isEmpty(); }
    // "12 records, chain intact", or the problem.
    QString text() const;
    QJsonObject json() const;
};

// Takes the lines of a file in order and judges them at the end. Keeps a few dozen bytes a
// line, never the lines themselves.
class ChainChecker
{
public:
    void take(int number, const QByteArray &line, const LineFacts &facts);
    // `allowedSigners`: also every seal's signature, and no record after the last seal.
    ChainState finish(const QString &allowedSigners = QString());

private:
    using Hash = std::array<unsigned char, 32>;
    struct Link
    {
        int number = 0;
        LineKind kind = LineKind::NotRecord;
        bool chained = false; // carries "prev"
        qint64 seq = 0;
        Hash hash{};
        Hash prev{};
    };
    std::vector<Link> m_links;
    QHash<std::size_t, QJsonObject> m_seals; // by index in m_links
};

} // namespace cli
