#pragma once

// Turns SIGTERM and SIGINT into a normal close of every window, so a logout or
// Ctrl-C releases the serial port and its lock file like the close button does.
void quitOnTerminationSignals();
