#pragma once

#include "settings.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The dump file: one display's Modbus settings and its nine blocks, as JSON a person can
// edit. Written in a fixed key order and layout, so that dump, apply and dump again give
// the same bytes.
namespace cli {

inline constexpr int kDumpVersion = 1;

QByteArray dumpText(const DisplaySettings &settings);

// Reads and checks a whole dump, so that nothing is sent from a file that is refused.
// On refusal returns nothing and sets `error` to the key and the reason.
std::optional<DisplaySettings> parseDump(const QByteArray &text, QString *error);

} // namespace cli
