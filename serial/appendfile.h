#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

// Files that grow by whole lines (records, traces), shared by stations and programs that
// may write the same file at once.

// Opens `path` for appending, creating it when missing; an existing file is never
// truncated or replaced, and a FIFO or a terminal is written as it is. The descriptor, or
// -1 with errno set.
int openForAppend(const QString &path);

// Writes `line` with one write(), never continued: a second write for the rest of a short
// one could land after another writer's line. The bytes written, or -1 with errno set.
ssize_t appendLine(int fd, const QByteArray &line);
