#pragma once

#include <QtGlobal>

namespace networksocket {

// Probes an idle connection after a few seconds and gives it up after a few unanswered
// probes, or when what was sent goes unacknowledged as long, so that a gateway that lost
// power or its cable is noticed as a lost port.
void shortenKeepAlive(qintptr descriptor);

// Acknowledges what arrives at once instead of holding the acknowledgement back for a
// reply to carry. A server that writes twice in a row without TCP_NODELAY (ser2net by
// default) holds its second write until the first is acknowledged: a delayed
// acknowledgement makes that 40 ms. The kernel falls back to delaying on its own, so this
// is asked again after every read.
void acknowledgeAtOnce(qintptr descriptor);

} // namespace networksocket
