#include "linkfolder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace qm {

std::string linkFolder()
{
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime != '\0')
        return std::string(runtime) + "/quillmark";
    return "/tmp/quillmark-" + std::to_string(::getuid());
}

std::string portLinkPath(const std::string &folder, int port)
{
    return folder + "/com" + std::to_string(port);
}

std::string linkFolderRefusal(const std::string &folder)
{
    // In a shared place like /tmp anyone could plant the folder or its links and send our
    // commands to a device of their choosing, so only a private folder of ours counts.
    struct stat info = {};
    if (::lstat(folder.c_str(), &info) != 0)
        return {};
    if (S_ISLNK(info.st_mode))
        return "the link folder " + folder +
               " is a symbolic link, so its links are not followed. Make it a folder of "
               "your own: rm " +
               folder + " && mkdir -m 700 " + folder;
    if (!S_ISDIR(info.st_mode))
        return "the link folder " + folder + " is not a folder. Remove it and run: mkdir -m 700 " +
               folder;
    if (info.st_uid != ::getuid())
        return "the link folder " + folder + " belongs to user " + std::to_string(info.st_uid) +
               ", not to you, so its links are not followed. Remove it and make your own: "
               "mkdir -m 700 " +
               folder;
    if ((info.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        return "the link folder " + folder + " is open to others (mode " + mode +
               "), so its links are not followed. Run: chmod 700 " + folder;
    }
    return {};
}

std::string ensureLinkFolder(const std::string &folder)
{
    // mkdir honours the umask, which can only take bits away from 0700.
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return "cannot make the link folder " + folder + ": " + std::strerror(errno);
    return linkFolderRefusal(folder);
}

std::string servingLockPath(const std::string &link)
{
    return link + ".lock";
}

std::optional<long> flockHolder(const std::string &path)
{
    struct stat info = {};
    if (::stat(path.c_str(), &info) != 0)
        return std::nullopt;
    // "1: FLOCK  ADVISORY  WRITE 4242 00:1a:3 0 EOF"; waiting requests carry "->" and
    // hold nothing.
    char node[64];
    std::snprintf(node, sizeof node, "%02x:%02x:%llu", major(info.st_dev), minor(info.st_dev),
                  static_cast<unsigned long long>(info.st_ino));
    std::ifstream table("/proc/locks");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string number, type, advisory, access, inode;
        long pid = 0;
        if (fields >> number >> type >> advisory >> access >> pid >> inode && type == "FLOCK" &&
            inode == node && pid > 0)
            return pid;
    }
    return std::nullopt;
}

bool servingLockAbandoned(const std::string &lock)
{
    struct stat info = {};
    // Without the kernel's lock table nothing can be told; the link is then left alone.
    return ::stat(lock.c_str(), &info) == 0 && std::ifstream("/proc/locks").good() &&
           !flockHolder(lock);
}

std::string linkText(const std::string &link)
{
    char target[4096];
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target);
    if (length <= 0 || std::size_t(length) >= sizeof target)
        return {};
    return std::string(target, std::size_t(length));
}

} // namespace qm
