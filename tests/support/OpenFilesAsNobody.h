#pragma once

#include <pwd.h>
#include <sys/fsuid.h>
#include <unistd.h>

// Files are opened as an ordinary user opens them, also when the tests run as root: this thread's
// file-system user and group become nobody's, which takes root's right to read every file with it.
class OpenFilesAsNobody {
public:
    OpenFilesAsNobody() {
        const passwd* nobody = ::getpwnam("nobody");
        if (::geteuid() != 0 || !nobody)
            return;
        previousGroup_ = ::setfsgid(nobody->pw_gid);
        previousUser_ = ::setfsuid(nobody->pw_uid);
    }
    ~OpenFilesAsNobody() {
        if (previousUser_ >= 0)
            ::setfsuid(uid_t(previousUser_));
        if (previousGroup_ >= 0)
            ::setfsgid(gid_t(previousGroup_));
    }
    OpenFilesAsNobody(const OpenFilesAsNobody&) = delete;
    OpenFilesAsNobody& operator=(const OpenFilesAsNobody&) = delete;

private:
    int previousUser_ = -1;
    int previousGroup_ = -1;
};
