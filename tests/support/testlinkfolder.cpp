#include "testlinkfolder.h"

#include <QFile>

#include <sys/stat.h>

TestLinkFolder::TestLinkFolder()
    : m_hadRuntime(qEnvironmentVariableIsSet("XDG_RUNTIME_DIR")),
      m_savedRuntime(qgetenv("XDG_RUNTIME_DIR"))
{
    if (!m_runtime.isValid())
        return;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime.path()));
    // mkdir honours the umask, so set the mode explicitly afterwards.
    const QByteArray folder = QFile::encodeName(path());
    m_valid = ::mkdir(folder.constData(), 0700) == 0 && ::chmod(folder.constData(), 0700) == 0;
}

TestLinkFolder::~TestLinkFolder()
{
    if (m_hadRuntime)
        qputenv("XDG_RUNTIME_DIR", m_savedRuntime);
    else
        qunsetenv("XDG_RUNTIME_DIR");
}

QString TestLinkFolder::path() const
{
    return m_runtime.path() + QStringLiteral("/quillmark");
}

bool TestLinkFolder::link(int port, const QString &target) const
{
    const QString name = path() + QStringLiteral("/com%1").arg(port);
    QFile::remove(name);
    return QFile::link(target, name);
}
