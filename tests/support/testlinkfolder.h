#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// Points XDG_RUNTIME_DIR at a fresh temporary folder holding a private quillmark/ link
// folder for the life of the object, then puts the environment back as it was.
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
    // Links comN to `target`; false when the link cannot be made.
    bool link(int port, const QString &target) const;

private:
    QTemporaryDir m_runtime;
    bool m_hadRuntime = false;
    QByteArray m_savedRuntime;
    bool m_valid = false;
};
