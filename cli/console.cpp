#include "console.h"

#include <QJsonDocument>

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
    write(m_out, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented)));
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

void Console::error(const QString &line)
{
    write(m_err, kPrefix + line + QLatin1Char('\n'));
}

void Console::write(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace cli
