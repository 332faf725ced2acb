#pragma once

#include "frmmain.h"
#include "ptypeer.h"
#include "testlinkfolder.h"

#include <memory>

// The window on screen with its port list at `port`, and a scripted device behind that
// port on a real pseudo-terminal, in a private link folder.
struct PtyRig
{
    explicit PtyRig(int port);

    // Empty when the rig is ready; otherwise what went wrong.
    QString problem() const;

    TestLinkFolder folder;
    PtyPeer peer;
    std::unique_ptr<frmMain> window;
};
