#pragma once

// Reading a record file's line straight from its bytes, for a report over a year of
// records: the members it shows, without building the line as a JSON document.

#include <QByteArray>
#include <QByteArrayView>

#include <cstring>

namespace cli {

inline void skipJsonSpace(const char *&p, const char *end)
{
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n'))
        ++p;
}

// Reads the members of a record file's line that a report and a check look at, the way
// QJsonDocument would read them, for the shapes a station writes. `understood` turns false
// at anything it cannot vouch for being read exactly so; the caller then reads the line
// whole.
class LineScanner
{
public:
    LineScanner(const char *p, const char *end) : m_p(p), m_end(end) {}

    bool understood() const { return m_understood; }
    bool atEnd() const { return m_p == m_end; }
    const char *position() const { return m_p; }
    void moveTo(const char *p) { m_p = p; }
    void space() { skipJsonSpace(m_p, m_end); }
    // The next byte is `c`, and is passed.
    bool take(char c)
    {
        if (m_p < m_end && *m_p == c)
            return ++m_p, true;
        return false;
    }
    bool next(char c) const { return m_p < m_end && *m_p == c; }

    // A string as UTF-8; it points into the line unless it has escapes.
    bool string(QByteArray *text)
    {
        if (!take('"'))
            return fail();
        const char *const start = m_p;
        while (m_p < m_end && *m_p != '"' && *m_p != '\\' && uchar(*m_p) >= 0x20)
            ++m_p;
        if (m_p < m_end && *m_p == '"') {
            if (text)
                *text = QByteArray::fromRawData(start, m_p - start);
            return ++m_p, true;
        }
        QByteArray decoded(start, m_p - start);
        while (m_p < m_end && *m_p != '"') {
            const char c = *m_p++;
            // The JSON parser takes a control byte as it is; no writer leaves one there.
            if (uchar(c) < 0x20)
                return fail();
            if (c != '\\') {
                decoded += c;
                continue;
            }
            if (m_p == m_end)
                return fail();
            switch (const char escape = *m_p++) {
            case '"':
            case '\\':
            case '/':
                decoded += escape;
                break;
            case 'b':
                decoded += '\b';
                break;
            case 'f':
                decoded += '\f';
                break;
            case 'n':
                decoded += '\n';
                break;
            case 'r':
                decoded += '\r';
                break;
            case 't':
                decoded += '\t';
                break;
            case 'u': {
                char32_t code = 0;
                if (!hex4(&code))
                    return false;
                // A surrogate counts only as the first of a pair.
                if (code >= 0xdc00 && code <= 0xdfff)
                    return fail();
                if (code >= 0xd800 && code <= 0xdbff) {
                    char32_t low = 0;
                    if (!take('\\') || !take('u') || !hex4(&low) || low < 0xdc00 || low > 0xdfff)
                        return fail();
                    code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
                }
                appendUtf8(decoded, code);
                break;
            }
            default:
                return fail(); // the parser reads "\q" as "q"; no writer writes it
            }
        }
        if (!take('"'))
            return fail();
        if (text)
            *text = decoded;
        return true;
    }

    // A whole number the way the writer writes one: no fraction, no exponent, no leading
    // zero, at most 18 digits (a qint64 either way). Its text is also how it is shown.
    bool integer(QByteArray *text, qint64 *value = nullptr)
    {
        const char *const start = m_p;
        const bool negative = take('-');
        const char *const digits = m_p;
        qint64 number = 0;
        for (; m_p < m_end && *m_p >= '0' && *m_p <= '9'; ++m_p)
            if (m_p - digits < 18) // more are refused below
                number = number * 10 + (*m_p - '0');
        const qsizetype count = m_p - digits;
        if (count == 0 || count > 18 || (*digits == '0' && (count > 1 || negative)) || next('.') ||
            next('e') || next('E'))
            return fail();
        if (text)
            *text = QByteArray::fromRawData(start, m_p - start);
        if (value)
            *value = negative ? -number : number;
        return true;
    }

    bool literal(QByteArrayView word)
    {
        if (QByteArrayView(m_p, m_end - m_p).startsWith(word)) {
            m_p += word.size();
            return true;
        }
        return false;
    }

    // Any JSON value, only checked: strings, numbers without an exponent, literals, and
    // arrays and objects a few levels deep.
    bool value(int depth = 0)
    {
        if (m_p == m_end || depth > 16)
            return fail();
        switch (*m_p) {
        case '"':
            return string(nullptr);
        case '{':
        case '[': {
            const char close = *m_p == '{' ? '}' : ']';
            ++m_p;
            space();
            if (take(close))
                return true;
            do {
                space();
                if (close == '}') {
                    if (!string(nullptr))
                        return false;
                    space();
                    if (!take(':'))
                        return fail();
                    space();
                }
                if (!value(depth + 1))
                    return false;
                space();
            } while (take(','));
            return take(close) || fail();
        }
        case 't':
            return literal("true") || fail();
        case 'f':
            return literal("false") || fail();
        case 'n':
            return literal("null") || fail();
        default:
            return number();
        }
    }

    // A change's "from" or "to" as valueText shows it.
    bool shownValue(QByteArray *text)
    {
        if (next('"'))
            return string(text);
        if (literal("null")) {
            *text = QByteArrayLiteral("-");
            return true;
        }
        for (const char *word : {"true", "false"}) {
            if (literal(word)) {
                *text = QByteArray::fromRawData(word, qsizetype(std::strlen(word)));
                return true;
            }
        }
        return integer(text);
    }

private:
    bool fail() { return m_understood = false; }

    bool hex4(char32_t *code)
    {
        if (m_end - m_p < 4)
            return fail();
        for (int i = 0; i < 4; ++i) {
            const char c = *m_p++;
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0)
                return fail();
            *code = *code << 4 | char32_t(digit);
        }
        return true;
    }

    static void appendUtf8(QByteArray &to, char32_t code)
    {
        if (code < 0x80) {
            to += char(code);
        } else if (code < 0x800) {
            to += char(0xc0 | code >> 6);
            to += char(0x80 | (code & 0x3f));
        } else if (code < 0x10000) {
            to += char(0xe0 | code >> 12);
            to += char(0x80 | (code >> 6 & 0x3f));
            to += char(0x80 | (code & 0x3f));
        } else {
            to += char(0xf0 | code >> 18);
            to += char(0x80 | (code >> 12 & 0x3f));
            to += char(0x80 | (code >> 6 & 0x3f));
            to += char(0x80 | (code & 0x3f));
        }
    }

    // RFC 8259's number, without an exponent and with few enough digits that any parser
    // reads it the same.
    bool number()
    {
        take('-');
        const char *const digits = m_p;
        while (m_p < m_end && *m_p >= '0' && *m_p <= '9')
            ++m_p;
        qsizetype count = m_p - digits;
        if (count == 0 || (*digits == '0' && count > 1))
            return fail();
        if (take('.')) {
            const char *const fraction = m_p;
            while (m_p < m_end && *m_p >= '0' && *m_p <= '9')
                ++m_p;
            if (m_p == fraction)
                return fail();
            count += m_p - fraction;
        }
        return (count <= 15 && !next('e') && !next('E')) || fail();
    }

    const char *m_p;
    const char *m_end;
    bool m_understood = true;
};

} // namespace cli
