#pragma once

#include "portinfo.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>

class QSocketNotifier;

// Where news of serial devices coming and going comes from. The system's source is
// SystemPortSource; tests hand the watcher one that emits made-up events.
class PortEventSource : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // The devices there now, before any event: the watcher's starting point.
    virtual QStringList devices() const = 0;

signals:
    void deviceAdded(const QString &device);
    void deviceRemoved(const QString &device);
};

// The running system's serial devices: the tty devices in /dev and the devices the link
// folder's comN links lead to. With udev running, its monitor tells of devices and the
// kernel's file notices tell of links, so that an idle watch costs nothing; without udev
// (a container, CI) the device list and the link folder are read once a second.
class SystemPortSource : public PortEventSource
{
    Q_OBJECT

public:
    enum class Mode { Automatic, Udev, Polling };

    // Automatic takes udev when it runs, and polling otherwise (also when udev's monitor
    // cannot be set up).
    explicit SystemPortSource(Mode mode = Mode::Automatic, QObject *parent = nullptr);
    ~SystemPortSource() override;

    QStringList devices() const override;
    // The mode in use: Udev or Polling.
    Mode mode() const { return m_mode; }

    // Whether udev runs on this machine (its control socket is there).
    static bool udevRunning();

signals:
    // With udev: a link was made, changed or removed in the link folder, whether or not
    // the devices it leads to changed (a number linked to a device that was there already).
    void linkFolderChanged();

private:
    class Udev;

    void rescan();
    void udevEvents();
    void watchLinkFolder();
    void update(const QSet<QString> &devices, const QSet<QString> &linked);

    Mode m_mode = Mode::Polling;
    std::unique_ptr<Udev> m_udev;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QSet<QString> m_devices; // kernel devices, from /dev or udev
    QSet<QString> m_linked;  // devices the link folder's links lead to
};

// Reports serial adapters as they are plugged in and unplugged, with the port number that
// leads to each (see portInfoOfDevices) and what the system knows of it.
class PortWatcher : public QObject
{
    Q_OBJECT

public:
    // Watches the running system (SystemPortSource, Automatic).
    explicit PortWatcher(QObject *parent = nullptr);
    PortWatcher(std::unique_ptr<PortEventSource> source, PortInfoSources infoSources,
                QObject *parent = nullptr);
    ~PortWatcher() override;

    // What is present now, by device.
    QList<PortInfo> present() const;
    PortEventSource *source() const { return m_source.get(); }

signals:
    void portAdded(const PortInfo &info);
    // With what was known while the device was there (its by-id name is gone with it);
    // `present` is false.
    void portRemoved(const PortInfo &info);

private:
    void handleAdded(const QString &device);
    void handleRemoved(const QString &device);

    std::unique_ptr<PortEventSource> m_source;
    PortInfoSources m_infoSources;
    QHash<QString, PortInfo> m_known;
};
