#pragma once

#include <QByteArray>
#include <QString>

// The trace of --trace FILE: every byte a CommControl sends and receives, with the time,
// the direction, the port and its line settings, for a support request. One line per
// event, tab-separated: "2026-12-08T17:25:14.123Z  COM 4 (/dev/ttyUSB0)  9600,N,8,1  send
// $M\r". Off until started; the program's behaviour does not change with it.
namespace bytetrace {

// Appends to `path` from now on, creating it when missing; an existing file is never
// truncated or replaced. Why it cannot be written, or empty.
QString start(const QString &path);
// Why a line could not be written (the first failure), or empty.
QString problem();

// `event` is "send", "recv" or "open".
void record(const QString &port, const QString &line, const char *event,
            const QByteArray &bytes = {});

// "$M\r" -> "$M\\r": \r, \n, \t, \\ and \xHH for any other byte outside printable ASCII.
QString escaped(const QByteArray &bytes);

} // namespace bytetrace
