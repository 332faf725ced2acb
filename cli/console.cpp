#include "console.h"

#include <QJsonDocument>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace cli {
namespace {
const QString kPrefix = QStringLiteral("quillmark-cli: ");
// Messages of lines side by side go out whole, and the status rows move with them.
std::mutex g_writing;
} // namespace

void Console::data(const QString &text)
{
    write(m_out, text.endsWith(QLatin1Char('\n')) ? text : text + QLatin1Char('\n'));
}

void Console::data(const QByteArray &utf8)
{
    write(m_out, utf8.endsWith('\n') ? utf8 : utf8 + '\n');
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
    // The status rows say what the notes would.
    if (m_level != Level::Quiet && (!m_footer || m_level == Level::Verbose))
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
    write(stream, text.toLocal8Bit());
}

void Console::write(std::FILE *stream, const QByteArray &bytes)
{
    const std::lock_guard<std::mutex> hold(g_writing);
    if (m_footer)
        eraseFooter();
    errno = 0;
    const bool written = std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream) ==
                             std::size_t(bytes.size()) &&
                         std::fflush(stream) == 0;
    // A failed message on stderr has nowhere to be reported; a result that did not reach
    // stdout makes the command fail.
    if (!written && stream == m_out && m_outErrno == 0)
        m_outErrno = errno ? errno : EIO;
    if (m_footer)
        drawFooter();
}

bool Console::setFooter(std::function<QStringList()> rows)
{
    const std::lock_guard<std::mutex> hold(g_writing);
    if (m_footer)
        eraseFooter();
    m_footer = nullptr;
    if (!rows || !::isatty(::fileno(m_err)))
        return false;
    m_footer = std::move(rows);
    drawFooter();
    return true;
}

void Console::redrawFooter()
{
    const std::lock_guard<std::mutex> hold(g_writing);
    if (!m_footer)
        return;
    eraseFooter();
    drawFooter();
}

void Console::eraseFooter()
{
    if (m_footerRows == 0)
        return;
    // Up to the first row, and everything from there down cleared.
    const QByteArray erase = "\x1b[" + QByteArray::number(m_footerRows) + "A\r\x1b[J";
    std::fwrite(erase.constData(), 1, std::size_t(erase.size()), m_err);
    std::fflush(m_err);
    m_footerRows = 0;
}

void Console::drawFooter()
{
    const QStringList rows = m_footer();
    QByteArray text;
    for (const QString &row : rows)
        text += row.toLocal8Bit() + "\x1b[K\n";
    std::fwrite(text.constData(), 1, std::size_t(text.size()), m_err);
    std::fflush(m_err);
    m_footerRows = int(rows.size());
}

} // namespace cli
