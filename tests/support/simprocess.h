#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// Starts quillmark-sim serving COM `port` with `options`, its trace on this program's
// stderr, and waits until its comN link is in `linkFolder`. False when the simulator is
// not part of the build, did not start, or did not publish the link within five seconds.
bool startSimulator(QProcess &sim, int port, const QString &linkFolder,
                    const QStringList &options = {});
