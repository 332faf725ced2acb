#include "testlinkfolder.h"

#include "portaccess.h"
#include "privatemount.h"

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

TestLinkFolder::TestLinkFolder()
    : m_hadRuntime(qEnvironmentVariableIsSet("XDG_RUNTIME_DIR")),
      m_savedRuntime(qgetenv("XDG_RUNTIME_DIR")), m_savedLockFolders(lockFolders())
{
    // Qt's serial port also makes a lock file of its own, in the machine's lock folder;
    // as root the tests put a private one over it (non-root runs cannot, and leave at most
    // its lock files of our own ptys while a port is open).
    [[maybe_unused]] static const bool privateRunLock =
        geteuid() == 0 && mountPrivately(QStringLiteral("/run/lock"), 0).isEmpty();
    if (!m_runtime.isValid())
        return;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime.path()));
    // mkdir honours the umask, so set the mode explicitly afterwards.
    const QByteArray folder = QFile::encodeName(path());
    m_valid = ::mkdir(folder.constData(), 0700) == 0 && ::chmod(folder.constData(), 0700) == 0 &&
              ::mkdir(QFile::encodeName(lockPath()).constData(), 0755) == 0;
    setLockFolders({lockPath()});
}

TestLinkFolder::~TestLinkFolder()
{
    setLockFolders(m_savedLockFolders);
    if (m_hadRuntime)
        qputenv("XDG_RUNTIME_DIR", m_savedRuntime);
    else
        qunsetenv("XDG_RUNTIME_DIR");
}

QString TestLinkFolder::path() const
{
    return m_runtime.path() + QStringLiteral("/quillmark");
}

QString TestLinkFolder::lockPath() const
{
    return m_runtime.path() + QStringLiteral("/lock");
}

bool TestLinkFolder::link(int port, const QString &target) const
{
    const QString name = path() + QStringLiteral("/com%1").arg(port);
    QFile::remove(name);
    return QFile::link(target, name);
}
