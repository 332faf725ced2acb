#include "simprocess.h"

#include <QDeadlineTimer>
#include <QFileInfo>

bool startSimulator(QProcess &sim, int port, const QString &linkFolder, const QStringList &options)
{
#ifdef QUILLMARK_SIM_PATH
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QStringLiteral(QUILLMARK_SIM_PATH),
              QStringList{QStringLiteral("--port"), QString::number(port)} + options);
    if (!sim.waitForStarted(5000))
        return false;
    const QString link = linkFolder + QStringLiteral("/com%1").arg(port);
    QDeadlineTimer deadline(5000);
    while (!QFileInfo::exists(link) && !deadline.hasExpired())
        sim.waitForReadyRead(50);
    return QFileInfo::exists(link);
#else
    Q_UNUSED(sim);
    Q_UNUSED(port);
    Q_UNUSED(linkFolder);
    Q_UNUSED(options);
    return false;
#endif
}
