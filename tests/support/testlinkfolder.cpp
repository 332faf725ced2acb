#include "testlinkfolder.h"

#include "portaccess.h"

#include <QFile>

#include <sys/stat.h>

TestLinkFolder::TestLinkFolder()
    : m_hadRuntime(qEnvironmentVariableIsSet("XDG_RUNTIME_DIR")),
      m_savedRuntime(qgetenv("XDG_RUNTIME_DIR")), m_savedLockFolders(lockFolders())
{
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
