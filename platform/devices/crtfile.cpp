// crtfile.cpp — _wfopen: the C run-time's files on the device's file system.
//
// The path goes through platform::ResolveDevicePath ("\Tavrinel.log" is
// ROOT/Tavrinel.log). Modes: "r", "w", "a", each optionally with "+", and
// "b" or "t" anywhere after the first letter (both mean binary here).
// New files are created with mode 0600. A symbolic link as the last
// component is never followed, and only regular files open: a log must not
// be redirected through a planted link or block on a pipe. A file with more
// than one hard link is never opened for writing: another name of it may be
// someone else's file. NULL with errno
// set on failure (ENOENT when no device root is set, EINVAL for a refused
// path or mode).
#include <windows.h>

#include <platform/emulation.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

FILE *_wfopen(const WCHAR *path, const WCHAR *mode) {
    if (!path || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    int flags = 0;
    const char *stdioMode = nullptr;
    bool plus = false;
    const WCHAR first = mode[0];
    size_t i = first ? 1 : 0;
    for (; mode[i] && i < 8; ++i) {
        if (mode[i] == u'+' && !plus)
            plus = true;
        else if (mode[i] != u'b' && mode[i] != u't')
            break;
    }
    if (mode[i] != 0) {
        errno = EINVAL;
        return nullptr;
    }
    switch (first) {
    case u'r':
        flags = plus ? O_RDWR : O_RDONLY;
        stdioMode = plus ? "r+" : "r";
        break;
    case u'w':
        flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
        stdioMode = plus ? "w+" : "w";
        break;
    case u'a':
        flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
        stdioMode = plus ? "a+" : "a";
        break;
    default:
        errno = EINVAL;
        return nullptr;
    }
    std::string hostPath;
    if (!platform::ResolveDevicePath(path, hostPath)) {
        errno = platform::GetDeviceRoot().empty() ? ENOENT : EINVAL;
        return nullptr;
    }
    const int fd = open(hostPath.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0)
        return nullptr;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || (first != u'r' && info.st_nlink > 1)) {
        close(fd);
        errno = S_ISDIR(info.st_mode) ? EISDIR : S_ISREG(info.st_mode) ? EMLINK : EACCES;
        return nullptr;
    }
    (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE *file = fdopen(fd, stdioMode);
    if (!file) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return file;
}
