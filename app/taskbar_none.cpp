#include "taskbar.h"

// Built without X11 support: no request to make.
void keepOffTaskbar(QWidget *) {}
