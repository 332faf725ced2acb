#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// The trace of --trace FILE: every byte a CommControl sends and receives, with the time,
// the direction, the port and its line settings, for a support request. One line per
// event, tab-separated: "2026-12-08T17:25:14.123Z  COM 4 (/dev/ttyUSB0)  9600,N,8,1  send
// $M\r". Off until started; the program's behaviour does not change with it.
namespace bytetrace {

// Appends to `path` from now on, creating it when missing; an existing file is never
// truncated or replaced. Why it cannot be written, or empty.
QString start(const QString &path);
// Why a line could not be written, or empty. The first such line ends the trace: a trace
// never blocks the program (a FIFO whose reader stopped reading) nor ends it (one whose
// reader went away, with SIGPIPE ignored), it stops.
QString problem();
// Called once, with problem(), when the trace stops.
void onStopped(std::function<void(const QString &why)> stopped);

// `event` is "send", "recv" or "open".
void record(const QString &port, const QString &line, const char *event,
            const QByteArray &bytes = {});

// "$M\r" -> "$M\\r": \r, \n, \t, \\ and \xHH for any other byte outside printable ASCII.
QString escaped(const QByteArray &bytes);

} // namespace bytetrace
