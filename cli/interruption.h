#pragma once

#include "exitcodes.h"

#include <QString>

// Ctrl-C, SIGTERM and SIGHUP ask quillmark-cli to stop; they do not kill it. The command
// notices at its next step (an exchange returns at once from its wait), abandons what is
// left, and unwinds: the port is closed the ordinary way, which clears its exclusive mode,
// removes the lock file, releases the flock and restores the line's settings. The program
// then exits 128 + the signal's number (130, 143, 129), as a shell reports a program the
// signal ended. A second signal ends it at once, for a wait that cannot be cut short (a
// FIFO nobody reads yet). SIGPIPE is ignored, so that a reader that went away makes a write
// fail (exit 1) rather than kill the program with the port open.
namespace cli {

void catchInterruptions();

// The signal that asked to stop, or 0.
int interruption();

// 128 + the signal's number: 130, 143, 129.
ExitCode exitCodeOfSignal(int signal);

// "SIGINT"
QString signalName(int signal);

// A descriptor that becomes readable once a signal asked to stop, for an event loop.
int interruptionDescriptor();

// Waits `ms` milliseconds, or less when a signal asks to stop; true when one did.
bool waitForInterruption(int ms);

// Throws the Failure that ends the command (exit 128 + signal) when a signal asked to
// stop; `what` says what was happening ("waiting for the reply to $D").
void throwIfInterrupted(const QString &label, const QString &what);

} // namespace cli
