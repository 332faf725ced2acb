#pragma once

#include <QString>

// As root, file modes refuse nothing. Tests that need a refusal all the same (a read-only
// lock folder, a device node that may not be opened) mount a file system with those
// options in a mount namespace of the test's own, which the rest of the machine never
// sees. Returns why that is impossible here, or an empty string once mounted.
QString mountPrivately(const QString &path, unsigned long flags);
void unmountPrivately(const QString &path);
