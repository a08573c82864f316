// crtfile.cpp — _wfopen: the C run-time's files on the device's file system.
//
// The path goes through platform::ResolveDevicePath ("\Tavrinel.log" is
// ROOT/Tavrinel.log). Modes: "r", "w", "a", each optionally with "+", and
// "b" or "t" anywhere after the first letter (both mean binary here).
// New files are created with mode 0600. A symbolic link as the last
// component is never followed, and only regular files open: a log must not
// be redirected through a planted link or block on a pipe; such a file is
// told through platform::FileNotice, once. A file with more
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

namespace {

// A link, FIFO, socket or device where a file was expected, told once.
void TellRefused(const platform::DeviceFileName &file) {
    struct stat info {};
    if (fstatat(file.folder->Fd(), file.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    const char *what = S_ISLNK(info.st_mode)                            ? "a symbolic link"
                       : S_ISFIFO(info.st_mode)                         ? "a FIFO"
                       : S_ISSOCK(info.st_mode)                         ? "a socket"
                       : S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode) ? "a device"
                                                                        : nullptr;
    if (what)
        platform::FileNotice(file.hostPath + " is " + what +
                             ", not a file: it is not used until it is replaced by one");
}

} // namespace

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
    platform::DeviceFileName located;
    if (const int error = platform::LocateDeviceFile(path, located); error != 0) {
        errno = error;
        return nullptr;
    }
    const int fd = openat(located.folder->Fd(), located.name.c_str(),
                          flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        const int error = errno;
        if (error == ELOOP || error == ENXIO)
            TellRefused(located);
        errno = error;
        return nullptr;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || (first != u'r' && info.st_nlink > 1)) {
        close(fd);
        if (!S_ISREG(info.st_mode))
            TellRefused(located);
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
