#pragma once

#include <QTimer>

// A timer switched by `Enabled`: enabling starts a fresh interval, disabling stops it.
class Timer : public QTimer
{
public:
    using QTimer::QTimer;

    bool enabled() const { return isActive(); }
    void setEnabled(bool on) { on ? start() : stop(); }
};
