#pragma once

// Turns SIGTERM, SIGINT and SIGHUP into a normal close of every window, so a logout,
// Ctrl-C or the closing of the starting terminal releases the serial port and its lock
// file like the close button does. SIGPIPE is ignored: a write to a pipe whose reader
// has gone fails instead.
void quitOnTerminationSignals();
