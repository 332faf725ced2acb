#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Points XDG_RUNTIME_DIR at a fresh temporary folder holding a private quillmark/ link
// folder, and the serial layer's lock folders at a private lock/ folder beside it, for
// the life of the object; then puts both back as they were. So no test ever reads or
// writes the machine's lock files.
class TestLinkFolder
{
public:
    TestLinkFolder();
    ~TestLinkFolder();
    TestLinkFolder(const TestLinkFolder &) = delete;
    TestLinkFolder &operator=(const TestLinkFolder &) = delete;

    bool isValid() const { return m_valid; }
    // The stand-in for XDG_RUNTIME_DIR.
    QString runtimePath() const { return m_runtime.path(); }
    // Its quillmark/ folder, where the comN links go.
    QString path() const;
    // Where the serial layer looks for lock files and makes its own.
    QString lockPath() const;
    // Links comN to `target`; false when the link cannot be made.
    bool link(int port, const QString &target) const;

private:
    QTemporaryDir m_runtime;
    bool m_hadRuntime = false;
    QByteArray m_savedRuntime;
    QStringList m_savedLockFolders;
    bool m_valid = false;
};
