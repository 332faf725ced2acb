#pragma once

#include <QtGlobal>

namespace networksocket {

// Probes an idle connection after a few seconds and gives it up after a few unanswered
// probes, so that a gateway that lost power or its cable is noticed as a lost port.
void shortenKeepAlive(qintptr descriptor);

} // namespace networksocket
