#pragma once

class QWidget;

// Asks the window manager to leave `window` off the taskbar. Call it before the window is
// first mapped (from its show event); where the platform has no such request it does nothing.
void keepOffTaskbar(QWidget *window);
