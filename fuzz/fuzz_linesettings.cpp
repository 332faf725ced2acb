// The PC port's settings text ("9600,N,8,1"), from any text, as the serial layer takes it.
#include "commcontrol.h"
#include "commerror.h"
#include "fuzzsupport.h"
#include "linesettings.h"

#include <QSet>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace {

// Every text the settings may be given in; the parser compares whole fields, so these
// and nothing else are accepted.
const QSet<QString> &acceptedTexts()
{
    static const QSet<QString> texts = [] {
        QSet<QString> all;
        for (const char *baud : {"1200", "2400", "4800", "9600"})
            for (const char *parity : {"N", "E", "O"})
                for (const char *bits : {"7", "8"})
                    all.insert(
                        QStringLiteral("%1,%2,%3,1")
                            .arg(QLatin1String(baud), QLatin1String(parity), QLatin1String(bits)));
        return all;
    }();
    return texts;
}

bool inDomain(const LineSettings &s)
{
    return (s.baud == 1200 || s.baud == 2400 || s.baud == 4800 || s.baud == 9600) &&
           (s.parity == 'N' || s.parity == 'E' || s.parity == 'O') &&
           (s.dataBits == 7 || s.dataBits == 8) && s.stopBits == 1;
}

void checkParse(const QString &text)
{
    const QString untouched = QStringLiteral("untouched");
    QString error = untouched;
    const std::optional<LineSettings> parsed = parseLineSettings(text, &error);

    QM_FUZZ_CHECK(parsed.has_value() == acceptedTexts().contains(text));
    // The error text is optional and does not change the decision.
    const std::optional<LineSettings> again = parseLineSettings(text);
    QM_FUZZ_CHECK(again.has_value() == parsed.has_value());
    if (!parsed) {
        QM_FUZZ_CHECK(!error.isEmpty() && error != untouched);
        return;
    }
    QM_FUZZ_CHECK(*again == *parsed);
    QM_FUZZ_CHECK(error == untouched);
    QM_FUZZ_CHECK(inDomain(*parsed));
    // Round trip: the formatted value is the very text, and it parses to the same value.
    const QString formatted = formatLineSettings(*parsed);
    QM_FUZZ_CHECK(formatted == text);
    const std::optional<LineSettings> reparsed = parseLineSettings(formatted);
    QM_FUZZ_CHECK(reparsed && *reparsed == *parsed);
}

// The port object holds the settings between calls; a refused text must leave them as
// they were, an accepted one must replace all four fields. The port stays closed, so no
// device is needed; it lives for the whole run so earlier inputs set the starting point.
void checkApplied(const QString &text)
{
    static CommControl *const control = new CommControl;
    const QString before = control->settings();
    QM_FUZZ_CHECK(parseLineSettings(before).has_value());
    const std::optional<LineSettings> parsed = parseLineSettings(text);
    try {
        control->setSettings(text);
        QM_FUZZ_CHECK(parsed.has_value());
        QM_FUZZ_CHECK(control->settings() == formatLineSettings(*parsed));
    } catch (const CommError &e) {
        QM_FUZZ_CHECK(!parsed.has_value());
        QM_FUZZ_CHECK(control->settings() == before);
        QM_FUZZ_CHECK(!e.description().isEmpty());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const auto *chars = reinterpret_cast<const char *>(data);
    const auto length = qsizetype(size);
    // The text reaches the parser from a list entry or a typed field; read the bytes both
    // ways so that multi-byte characters and every Latin-1 character both occur.
    for (const QString &text :
         {QString::fromUtf8(chars, length), QString::fromLatin1(chars, length)}) {
        checkParse(text);
        checkApplied(text);
    }
    return 0;
}
