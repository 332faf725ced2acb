#pragma once

#include "frmmain.h"

// The window's exchange values are its own; the tests of the exchange reach them here.
struct WindowProbe
{
    static QByteArray &strCommand(frmMain &window) { return window.strCommand; }
    static QByteArray &strResponse(frmMain &window) { return window.strResponse; }
    static bool blnTimeout(const frmMain &window) { return window.blnTimeout; }
};
