#include "recordcheck.h"

#include "seal.h"

#include <QJsonValue>

#include <algorithm>

namespace cli {
namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1; // the writer writes lower case only
}

template <typename Hash> bool readHash(QByteArrayView hex, Hash &hash)
{
    if (hex.size() != 2 * qsizetype(hash.size()))
        return false;
    for (std::size_t i = 0; i < hash.size(); ++i) {
        const int high = hexDigit(hex.at(qsizetype(2 * i)));
        const int low = hexDigit(hex.at(qsizetype(2 * i + 1)));
        if (high < 0 || low < 0)
            return false;
        hash[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return true;
}

QString shortHash(const QString &hex)
{
    return hex.left(12);
}

} // namespace

QString ChainState::text() const
{
    if (!intact())
        return problem;
    QString text = QStringLiteral("%1 records, chain intact").arg(records);
    if (seals > 0)
        text += signaturesChecked
                    ? QStringLiteral(", %1 seal(s) verified").arg(seals)
                    : QStringLiteral(", %1 seal(s), signatures not checked (--allowed-signers)")
                          .arg(seals);
    if (unchained > 0)
        text += QStringLiteral("; %1 line(s) before the chain").arg(unchained);
    return text;
}

QJsonObject ChainState::json() const
{
    QJsonObject object{{QStringLiteral("records"), records},
                       {QStringLiteral("lines"), lines},
                       {QStringLiteral("unchained"), unchained},
                       {QStringLiteral("seals"), seals},
                       {QStringLiteral("signatures_checked"), signaturesChecked},
                       {QStringLiteral("intact"), intact()},
                       {QStringLiteral("text"), text()}};
    if (!intact()) {
        object.insert(QStringLiteral("line"), badLine);
        object.insert(QStringLiteral("kind"), kind);
    }
    return object;
}

void ChainChecker::take(int number, const QByteArray &line, const LineFacts &facts)
{
    if (line.isEmpty())
        return;
    Link link;
    link.number = number;
    link.kind = facts.kind;
    const QByteArray hash = lineDigest(line);
    std::copy(hash.begin(), hash.end(), link.hash.begin());
    if (facts.kind != LineKind::NotRecord && facts.prev) {
        link.chained = true;
        link.seq = facts.seq;
        // A "prev" that is no hash matches no line: left at zeros, it would match a start.
        if (!readHash(*facts.prev, link.prev))
            link.prev.fill(0xff);
    }
    if (facts.kind == LineKind::Seal)
        m_seals.insert(m_links.size(), facts.seal);
    m_links.push_back(link);
}

ChainState ChainChecker::finish(const QString &allowedSigners)
{
    ChainState state;
    state.lines = int(m_links.size());
    state.signaturesChecked = !allowedSigners.isEmpty();
    const auto fail = [&state](int line, const char *kind, const QString &problem) {
        state.badLine = line;
        state.kind = QLatin1String(kind);
        state.problem = problem;
        return state;
    };
    const Hash start{};
    bool chainStarted = false;
    std::size_t afterLastSeal = 0; // the first chained line no seal covers
    for (std::size_t i = 0; i < m_links.size(); ++i) {
        const Link &link = m_links[i];
        const int line = link.number;
        if (link.kind == LineKind::NotRecord)
            return fail(line, "not a record", QStringLiteral("line %1 is not a record").arg(line));
        if (link.kind == LineKind::Record)
            ++state.records;
        if (!link.chained) {
            if (chainStarted)
                return fail(line, "inserted",
                            QStringLiteral("line %1 was inserted: it carries no link to the "
                                           "line before it")
                                .arg(line));
            ++state.unchained;
            continue;
        }
        const Hash &expected = i == 0 ? start : m_links[i - 1].hash;
        const qint64 expectedSeq = i > 0 && m_links[i - 1].chained ? m_links[i - 1].seq + 1 : 1;
        const int before = i > 0 ? m_links[i - 1].number : 0;
        if (link.prev != expected || link.seq != expectedSeq) {
            if (i + 1 < m_links.size() && link.prev == m_links[i + 1].hash)
                return fail(line, "swapped",
                            QStringLiteral("lines %1 and %2 are swapped: line %1 follows line %2 "
                                           "in the chain")
                                .arg(line)
                                .arg(m_links[i + 1].number));
            if (i >= 2 && link.prev == m_links[i - 2].hash)
                return fail(before, "inserted",
                            QStringLiteral("line %1 was inserted: line %2 follows line %3 in the "
                                           "chain")
                                .arg(before)
                                .arg(line)
                                .arg(m_links[i - 2].number));
            if (link.seq > expectedSeq)
                return fail(line, "removed",
                            QStringLiteral("%1 line(s) were removed before line %2 (after %3)")
                                .arg(link.seq - expectedSeq)
                                .arg(line)
                                .arg(i > 0 ? QStringLiteral("line %1").arg(before)
                                           : QStringLiteral("the file's start")));
            if (link.seq == expectedSeq && i > 0)
                return fail(before, "changed",
                            QStringLiteral("line %1 was changed: line %2's prev no longer "
                                           "matches it")
                                .arg(before)
                                .arg(line));
            return fail(line, "broken",
                        QStringLiteral("line %1 does not follow %2 in the chain")
                            .arg(line)
                            .arg(i > 0 ? QStringLiteral("line %1").arg(before)
                                       : QStringLiteral("the file's start")));
        }
        chainStarted = true;
        if (link.kind != LineKind::Seal)
            continue;
        const QJsonObject seal = m_seals.value(i);
        ++state.seals;
        const qint64 count = seal.value(QStringLiteral("count")).toInteger();
        const QString last = seal.value(QStringLiteral("last")).toString();
        const QString prev = seal.value(QStringLiteral("prev")).toString();
        if (count != link.seq - 1 || last != prev)
            return fail(line, "seal mismatch",
                        QStringLiteral("line %1: the seal does not match the lines before it (it "
                                       "seals %2 ending in %3, the file has %4 ending in %5): "
                                       "lines were cut off or rewritten")
                            .arg(line)
                            .arg(count)
                            .arg(shortHash(last))
                            .arg(link.seq - 1)
                            .arg(shortHash(prev)));
        if (!allowedSigners.isEmpty()) {
            const SealVerdict verdict = verifySeal(allowedSigners, seal);
            switch (verdict.kind) {
            case SealVerdict::Kind::Good:
                break;
            case SealVerdict::Kind::UnknownKey:
                return fail(line, "unknown key",
                            QStringLiteral("line %1: the seal is %2").arg(line).arg(verdict.text));
            case SealVerdict::Kind::BadSignature:
                return fail(line, "bad signature",
                            QStringLiteral("line %1: the seal is forged or altered: %2")
                                .arg(line)
                                .arg(verdict.text));
            case SealVerdict::Kind::Failed:
                return fail(line, "cannot verify",
                            QStringLiteral("line %1: the seal cannot be verified: %2")
                                .arg(line)
                                .arg(verdict.text));
            }
        }
        afterLastSeal = i + 1;
    }
    if (!allowedSigners.isEmpty()) {
        // A file whose links were all stripped would look like one from before the chain:
        // with no seal at all, every line is unsealed.
        const std::size_t first = afterLastSeal;
        if (first < m_links.size())
            return fail(m_links[first].number, "unsealed",
                        QStringLiteral("%1 unsealed: %2 line(s) after the last seal, which "
                                       "anyone could have written")
                            .arg(first + 1 == m_links.size()
                                     ? QStringLiteral("line %1 is").arg(m_links[first].number)
                                     : QStringLiteral("lines %1 to %2 are")
                                           .arg(m_links[first].number)
                                           .arg(m_links.back().number))
                            .arg(m_links.size() - first));
    }
    return state;
}

} // namespace cli
