#pragma once

#include <QJsonObject>
#include <QString>

#include <cstdio>
#include <functional>

// Where quillmark-cli's words go: results on stdout (one JSON document with --json),
// progress, notes and traces on stderr, each prefixed with the program's name.
namespace cli {

// "COM 5: the adapter echoes what is sent; the echo is ignored"
QString echoNote(const QString &label);

class Console
{
public:
    enum class Level { Quiet, Normal, Verbose };

    Console(std::FILE *out, std::FILE *err) : m_out(out), m_err(err) {}

    void setLevel(Level level) { m_level = level; }
    void setJson(bool json) { m_json = json; }
    bool json() const { return m_json; }
    bool verbose() const { return m_level == Level::Verbose; }

    // What the user asked for (read, get, dump): printed even with --quiet.
    void data(const QString &text);
    // The same for text already in UTF-8, the bytes data(QString) writes on this system.
    void data(const QByteArray &utf8);
    // A result line of a command that changes something; none with --quiet or --json.
    void result(const QString &line);
    // The one JSON document of a command run with --json.
    void document(const QJsonObject &object);
    // One event of a command that goes on (commission --json): one JSON object on one line.
    void event(const QJsonObject &object);
    // Progress and advice on stderr; none with --quiet.
    void note(const QString &line);
    // Once per run: the adapter on `label` hands back what is sent. Also marks the JSON
    // document with "echo": true.
    void noteEcho(const QString &label);
    // Bytes on the line and timings, with --verbose only.
    void trace(const QString &line);
    // On stderr even with --quiet: what a command could not do that was asked of it.
    void warning(const QString &line);
    // Always shown.
    void error(const QString &line);
    // Rings the terminal's bell `times` times, on stderr.
    void bell(int times);

    // Status rows kept at the foot of the terminal on stderr, redrawn in place under
    // whatever is written; progress notes give way to them. Only when stderr is a
    // terminal; false (and nothing kept) when it is not. An empty `rows` takes them away.
    bool setFooter(std::function<QStringList()> rows);
    // Draws the rows again (the time since a step began goes on).
    void redrawFooter();

    // Flushes stdout; the reason the result could not be written there (the first write
    // or the flush that failed), or empty when all of it was.
    QString finishOutput();

private:
    void write(std::FILE *stream, const QString &text);
    void write(std::FILE *stream, const QByteArray &bytes);
    // With the console's lock held.
    void eraseFooter();
    void drawFooter();

    std::FILE *m_out;
    std::FILE *m_err;
    Level m_level = Level::Normal;
    bool m_json = false;
    bool m_echo = false;
    int m_outErrno = 0;
    std::function<QStringList()> m_footer;
    int m_footerRows = 0; // rows of it on the terminal now
};

} // namespace cli
