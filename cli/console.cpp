#include "console.h"

#include <QJsonDocument>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace cli {
namespace {
const QString kPrefix = QStringLiteral("quillmark-cli: ");
} // namespace

void Console::data(const QString &text)
{
    write(m_out, text.endsWith(QLatin1Char('\n')) ? text : text + QLatin1Char('\n'));
}

void Console::result(const QString &line)
{
    if (m_level != Level::Quiet && !m_json)
        write(m_out, line + QLatin1Char('\n'));
}

void Console::document(const QJsonObject &object)
{
    QJsonObject shown = object;
    if (m_echo)
        shown.insert(QStringLiteral("echo"), true);
    write(m_out, QString::fromUtf8(QJsonDocument(shown).toJson(QJsonDocument::Indented)));
}

QString echoNote(const QString &label)
{
    return QStringLiteral("%1: the adapter echoes what is sent; the echo is ignored").arg(label);
}

void Console::noteEcho(const QString &label)
{
    if (m_echo)
        return;
    m_echo = true;
    note(echoNote(label));
}

void Console::event(const QJsonObject &object)
{
    write(m_out, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) +
                     QLatin1Char('\n'));
}

void Console::note(const QString &line)
{
    if (m_level != Level::Quiet)
        write(m_err, kPrefix + line + QLatin1Char('\n'));
}

void Console::trace(const QString &line)
{
    if (m_level == Level::Verbose)
        write(m_err, kPrefix + line + QLatin1Char('\n'));
}

void Console::warning(const QString &line)
{
    write(m_err, kPrefix + line + QLatin1Char('\n'));
}

void Console::error(const QString &line)
{
    write(m_err, kPrefix + line + QLatin1Char('\n'));
}

void Console::bell(int times)
{
    write(m_err, QString(times, QLatin1Char('\a')));
}

QString Console::finishOutput()
{
    if (std::fflush(m_out) != 0 && m_outErrno == 0)
        m_outErrno = errno ? errno : EIO;
    if (m_outErrno == 0 && std::ferror(m_out))
        m_outErrno = EIO;
    return m_outErrno == 0 ? QString() : QString::fromLocal8Bit(std::strerror(m_outErrno));
}

void Console::write(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    // A station's lines run side by side: each message goes out whole.
    static std::mutex writing;
    const std::lock_guard<std::mutex> hold(writing);
    errno = 0;
    const bool written = std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream) ==
                             std::size_t(bytes.size()) &&
                         std::fflush(stream) == 0;
    // A failed message on stderr has nowhere to be reported; a result that did not reach
    // stdout makes the command fail.
    if (!written && stream == m_out && m_outErrno == 0)
        m_outErrno = errno ? errno : EIO;
}

} // namespace cli
