#pragma once

// What the port control needs of the operating system's terminal interface beyond
// QSerialPort, on the descriptor of an open port.
namespace terminal {

// Sets every flag of the line that the port control relies on: raw bytes, no flow
// control, `dataBits` (7 or 8) and `parity` ('N', 'E', 'O'), and with parity the marking
// of bytes received with a parity error. Nothing is inherited from what an earlier
// program left on the line. Returns 0, or the errno of the failure.
int setFraming(int fd, int dataBits, char parity);

// Whether the driver holds received bytes that have not been read yet.
bool bytesWaiting(int fd);

enum class Wait { TimedOut, Readable, HungUp };

// Waits up to `msecs` for bytes, telling a hang-up from a quiet line.
Wait waitReadable(int fd, int msecs);

// Whether the terminal has hung up (the device is gone, or the far end of a
// pseudo-terminal closed), asked of the driver without reading.
bool hungUp(int fd);

// A descriptor of its own that turns readable when the terminal `fd` hangs up, for an
// event loop to watch while QSerialPort owns the reading. It also turns readable, once
// each time, when bytes arrive; hungUp() takes that notice and tells the two apart.
class HangUpWatch
{
public:
    explicit HangUpWatch(int fd);
    ~HangUpWatch();
    HangUpWatch(const HangUpWatch &) = delete;
    HangUpWatch &operator=(const HangUpWatch &) = delete;

    // -1 when the system refused one; then only the direct checks notice a hang-up.
    int descriptor() const { return m_watch; }
    bool hungUp();

private:
    int m_watch = -1;
};

} // namespace terminal
