#pragma once

#include <optional>
#include <string>

// The link folder: a symbolic link "comN" in it names the device for port N. The rule of
// where it is and when its links may be followed is kept here, without Qt, so that the
// port table, the command-line companion and the simulator all hold to the same one.
namespace qm {

// $XDG_RUNTIME_DIR/quillmark, or /tmp/quillmark-UID when that variable is unset or empty,
// whether or not the folder exists.
std::string linkFolder();

// "FOLDER/comN".
std::string portLinkPath(const std::string &folder, int port);

// Why the links in `folder` must not be followed, with the fix; empty when the folder is
// a private folder of this user, or is not there at all.
std::string linkFolderRefusal(const std::string &folder);

// Makes the folder, mode 0700, when it is missing; then returns linkFolderRefusal, or
// the reason it could not be made.
std::string ensureLinkFolder(const std::string &folder);

// A program that publishes a link (the simulator does) holds a flock on this file beside
// it while it serves; the file also records the device the link was made for.
std::string servingLockPath(const std::string &link);

// The pid of a process holding a flock on `path`, from the kernel's lock table: the only
// place that shows such a lock without opening the file or taking the lock. Serving locks
// and the port's own device lock are both looked up this way.
std::optional<long> flockHolder(const std::string &path);

// True when `lock` is there and nobody holds a flock on it: the program that made the
// link has stopped, so the link may lead to some other program's device by now. Looks
// without taking the lock, so that it never stands in the way of a program starting.
bool servingLockAbandoned(const std::string &lock);

// What the symbolic link `link` holds, as written (not made absolute): a device path or
// a network address. Empty when it is no link.
std::string linkText(const std::string &link);

} // namespace qm
