#pragma once

#include <QString>

// Giving a device a port number: the comN links of the link folder (see portLinkFolder).
// The folder is made, mode 0700, when it is missing; one that is not safe is refused with
// the reason and the fix. Failures are thrown as CommError.

// Links port `port` to `target`, replacing an earlier link of that port in one step.
// Returns the earlier link's target, or an empty string when there was none.
QString makePortLink(int port, const QString &target);

// Removes the link of port `port`; false when there was none.
bool removePortLink(int port);
