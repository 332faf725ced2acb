#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

// The pseudo-terminal the display talks on, published as "comN" in the link folder.
// While serving, a flock is held on "comN.lock" beside the link, which also names the
// device: a link whose lock nobody holds was left by a simulator that has stopped.
// Every failure is thrown as std::runtime_error with a message for the user.
class PtyLink
{
public:
    // `baudRate` is the rate the PC side starts with, until a client sets its own.
    PtyLink(int port, int baudRate);
    ~PtyLink();
    PtyLink(const PtyLink &) = delete;
    PtyLink &operator=(const PtyLink &) = delete;

    int masterFd() const { return m_master; }
    const std::string &device() const { return m_device; }
    const std::string &linkPath() const { return m_link; }

    // The rate the PC side's line is set to: 0 for a rate without a number, nullopt
    // when it cannot be read.
    std::optional<int> pcBaudRate() const;

private:
    void openPty(int baudRate);
    void publish(int port);
    // Takes the serving lock of the port and returns the device it names, if any.
    std::string claimPort(int port, const std::string &lockPath);
    void closeAll();

    int m_master = -1;
    int m_slave = -1;
    dev_t m_deviceNumber = 0;
    std::string m_device;
    std::string m_link;
    int m_lockFd = -1;
    std::string m_lockPath;
};
