#pragma once

#include "displaylink.h"

#include <QJsonObject>

#include <memory>
#include <optional>

// Steps that several commands share.
namespace cli {

struct Invocation;

// The display link on the invocation's port, opened at its line settings.
std::unique_ptr<DisplayLink> openLink(const Invocation &invocation, Console &console);

// The key=value words of write and set, read before anything is sent (exit 2 on refusal).
// The keys left out are taken from the display when `missing` is set.
CommsSettings commsFromWords(const QStringList &words, bool *missing);
BlockSettings blockFromWords(const QStringList &words, bool *missing);

// After a "$C": with `follow`, reopens the port at the display's new line when it differs
// and reads the settings back; without it, reads them back only for `verify` and only when
// the baud rate is unchanged, and otherwise says where the display listens now. Returns
// what was read back; throws Failure (exit 5) when that differs from `written`.
std::optional<CommsSettings> afterCommsWrite(DisplayLink &link, Console &console,
                                             const CommsSettings &written, bool follow,
                                             bool verify);

// "wrote X; the display has Y" for a --verify or --follow difference.
QString differenceText(const QString &what, const QString &wrote, const QString &has);

} // namespace cli
