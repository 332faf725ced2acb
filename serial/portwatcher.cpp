#include "portwatcher.h"

PortWatcher::PortWatcher(QObject *parent)
    : PortWatcher(std::make_unique<SystemPortSource>(), PortInfoSources::system(), parent)
{
}

PortWatcher::PortWatcher(std::unique_ptr<PortEventSource> source, PortInfoSources infoSources,
                         QObject *parent)
    : QObject(parent), m_source(std::move(source)), m_infoSources(std::move(infoSources))
{
    // Known from the start, so that a device unplugged later is reported with the port
    // number and names it had; by then its by-id and by-path links are gone.
    const QStringList devices = m_source->devices();
    const QList<PortInfo> infos = portInfoOfDevices(devices, m_infoSources);
    for (qsizetype i = 0; i < devices.size(); ++i)
        m_known.insert(devices.at(i), infos.at(i));
    connect(m_source.get(), &PortEventSource::deviceAdded, this, &PortWatcher::handleAdded);
    connect(m_source.get(), &PortEventSource::deviceRemoved, this, &PortWatcher::handleRemoved);
}

PortWatcher::~PortWatcher() = default;

QList<PortInfo> PortWatcher::present() const
{
    return m_known.values();
}

void PortWatcher::handleAdded(const QString &device)
{
    const PortInfo info = portInfoOfDevices({device}, m_infoSources).constFirst();
    m_known.insert(device, info);
    emit portAdded(info);
}

void PortWatcher::handleRemoved(const QString &device)
{
    // A device the watcher never saw come (a source that started late) is described as
    // far as can be told now.
    PortInfo info = m_known.contains(device)
                        ? m_known.take(device)
                        : portInfoOfDevices({device}, m_infoSources).constFirst();
    info.present = false;
    emit portRemoved(info);
}
