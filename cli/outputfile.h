#pragma once

#include <QByteArray>
#include <QString>

namespace cli {

// Writes `bytes` as the whole content of `path`, the one way quillmark-cli writes a file.
// A regular file, new or existing (also at the end of symbolic links, which stay), is
// written all or nothing: a temporary file in the same folder, synced, then renamed over
// it, keeping an existing file's mode. Anything else that exists (a terminal, a FIFO, a
// character device, /dev/stdout) is written in place and never replaced; a folder is
// refused. A file that is our own stdout (/dev/stdout) is written through it, after what
// went there before; `toStandardOutput` then says so. Returns why the bytes could not all
// be written, or an empty string.
QString writeOutputFile(const QString &path, const QByteArray &bytes,
                        bool *toStandardOutput = nullptr);

} // namespace cli
