#pragma once

// What the port control needs of the operating system's terminal interface beyond
// QSerialPort, on the descriptor of an open port.
namespace terminal {

// Marks bytes received with a parity error so that they can be told from good ones, or
// stops marking. Returns 0, or the errno of the failure.
int setParityMarking(int fd, bool marked);

// Whether the driver holds received bytes that have not been read yet.
bool bytesWaiting(int fd);

enum class Wait { TimedOut, Readable, HungUp };

// Waits up to `msecs` for bytes, telling a hang-up from a quiet line.
Wait waitReadable(int fd, int msecs);

} // namespace terminal
