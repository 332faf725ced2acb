#pragma once

#include <QString>

#include <sys/types.h>

// A pseudo-terminal made and served by another process, as the simulator serves its own:
// the child opens the master through `multiplexer` (/dev/ptmx, or /dev/pts/ptmx as where
// /dev/ptmx is a link to it in a container's /dev) and keeps both ends open until the
// object goes.
class ForeignPty
{
public:
    explicit ForeignPty(const char *multiplexer);
    ~ForeignPty();
    ForeignPty(const ForeignPty &) = delete;
    ForeignPty &operator=(const ForeignPty &) = delete;

    // Empty when the pty is served; otherwise why not.
    QString problem() const { return m_problem; }
    QString slavePath() const { return m_slavePath; }
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    QString m_slavePath;
    QString m_problem;
};
