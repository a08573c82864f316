// devfiles.cpp — CreateFileW, ReadFile, WriteFile, DeviceIoControl,
// SetCommMask and GetCommMask on device files and on plain files of the
// device root; DeleteFileW and MoveFileW on plain files.
//
// Device names: "COM9:" (three letters, a digit, a colon, any case), also
// written "\COM9:" or "\$device\COM9". Every other name is a file of the
// device root (platform::ResolveDevicePath).
//
// A device file calls the driver's Open at CreateFileW (access and share
// mode passed through) and its Close once, at CloseHandle, after every call
// still running on the handle in another thread has returned. Once the
// device is deactivated its files fail with ERROR_DEVICE_REMOVED and
// CloseHandle on them no longer calls the driver.
//
// Errors chosen where Windows CE leaves them to the driver:
//  - an unknown device name: ERROR_FILE_NOT_FOUND;
//  - Open answered 0, Read or Write answered (DWORD)-1: the last error the
//    driver set, else ERROR_GEN_FAILURE;
//  - an entry point the driver lacks (Read, Write, IOControl), and
//    DeviceIoControl, SetCommMask, GetCommMask on a plain file:
//    ERROR_INVALID_FUNCTION;
//  - overlapped I/O is not supported: ERROR_INVALID_PARAMETER.
// For a device, a NULL buffer or a count of 0 reaches the driver as given;
// the count-of-bytes pointer may be NULL.
#include <windows.h>

#include <platform/emulation.h>

#include <fcntl.h>
#include <stdio.h> // renameat2
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>

#include "devmgr.h"
#include "handles.h"
#include "kernel.h"
#include "text.h"

namespace {

using platform::kernel::Device;
using platform::kernel::DeviceCall;
using platform::kernel::KernelObject;

// ---------------------------------------------------------------- objects

class DeviceFile : public KernelObject {
public:
    DeviceFile(std::shared_ptr<Device> device, DWORD_PTR open)
        : device_(std::move(device)), open_(open) {}

    [[nodiscard]] const char *Kind() const override { return "device file"; }

    // One call on the handle: answers false (with the last error set) when
    // the handle is closing or the device gone.
    bool Enter() {
        {
            std::lock_guard guard(lock_);
            if (closing_) {
                SetLastError(ERROR_INVALID_HANDLE);
                return false;
            }
            ++inFlight_;
        }
        if (!device_->Enter()) {
            LeaveFile();
            SetLastError(ERROR_DEVICE_REMOVED);
            return false;
        }
        return true;
    }
    void Leave() {
        device_->Leave();
        LeaveFile();
    }

    bool OnClose() override {
        {
            std::unique_lock guard(lock_);
            closing_ = true;
            idle_.wait(guard, [this] { return inFlight_ == 0; });
        }
        DeviceCall call(device_);
        if (call.Entered())
            device_->entry.Close(open_);
        return true;
    }

    [[nodiscard]] Device &Dev() const { return *device_; }
    [[nodiscard]] DWORD_PTR Open() const { return open_; }
    std::atomic<DWORD> commMask{0};

private:
    void LeaveFile() {
        std::lock_guard guard(lock_);
        if (--inFlight_ == 0)
            idle_.notify_all();
    }

    std::shared_ptr<Device> device_;
    DWORD_PTR open_;
    std::mutex lock_;
    std::condition_variable idle_;
    unsigned inFlight_ = 0;
    bool closing_ = false;
};

// Holds a device file entered for one call.
class FileCall {
public:
    explicit FileCall(std::shared_ptr<DeviceFile> file) : file_(std::move(file)) {
        entered_ = file_->Enter();
    }
    ~FileCall() {
        if (entered_)
            file_->Leave();
    }
    FileCall(const FileCall &) = delete;
    FileCall &operator=(const FileCall &) = delete;
    [[nodiscard]] bool Entered() const { return entered_; }

private:
    std::shared_ptr<DeviceFile> file_;
    bool entered_ = false;
};

// A file of the device root. The descriptor is closed when the last holder
// lets go, so a read running in another thread never sees it reused.
class PlainFile : public KernelObject {
public:
    explicit PlainFile(int fd) : fd_(fd) {}
    ~PlainFile() override { close(fd_); }
    [[nodiscard]] const char *Kind() const override { return "file"; }
    [[nodiscard]] int Fd() const { return fd_; }

private:
    int fd_;
};

// ---------------------------------------------------------------- names

// "COM9:" out of "COM9:", "\COM9:", "\$device\COM9" (any case); empty when
// the name is not a device name.
std::u16string DeviceNameOf(std::u16string_view name) {
    bool colonOptional = false;
    if (name.size() > 8 && platform::text::EqualsIgnoreCase(name.substr(0, 9), u"\\$device\\")) {
        name.remove_prefix(9);
        colonOptional = true;
    } else if (!name.empty() && name.front() == u'\\') {
        name.remove_prefix(1);
    }
    if (colonOptional && name.size() == 4)
        ; // "\$device\COM9"
    else if (name.size() != 5 || name[4] != u':')
        return {};
    for (size_t i = 0; i < 3; ++i) {
        const char16_t c = name[i];
        if (!((c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z')))
            return {};
    }
    if (name[3] < u'0' || name[3] > u'9')
        return {};
    std::u16string result(name.substr(0, 4));
    result += u':';
    return result;
}

DWORD ErrnoToWin32(int error) {
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case EACCES:
    case EPERM:
    case ELOOP: // a symbolic link where a file was expected
    case EISDIR:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOSPC:
        return ERROR_DISK_FULL;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// ---------------------------------------------------------------- opening

HANDLE OpenDevice(const std::u16string &name, DWORD access, DWORD share) {
    std::shared_ptr<Device> device = platform::kernel::FindActiveDevice(name);
    if (!device) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    DWORD_PTR open = 0;
    {
        DeviceCall call(device);
        if (!call.Entered()) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        SetLastError(ERROR_SUCCESS);
        open = device->entry.Open(device->context, access, share);
        if (!open) {
            if (GetLastError() == ERROR_SUCCESS)
                SetLastError(ERROR_GEN_FAILURE);
            return INVALID_HANDLE_VALUE;
        }
    }
    auto file = std::make_shared<DeviceFile>(device, open);
    HANDLE handle = platform::kernel::AllocHandle(file);
    if (!handle) {
        const DWORD error = GetLastError();
        file->OnClose(); // the driver's Close balances its Open
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
}

// A plain file's name located in the device root, or the last error set.
bool LocatePlainFile(LPCWSTR path, platform::DeviceFileName &file) {
    if (!path) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    const int error = platform::LocateDeviceFile(path, file);
    if (error == 0)
        return true;
    SetLastError(error == EINVAL                     ? ERROR_INVALID_NAME
                 : platform::GetDeviceRoot().empty() ? ERROR_PATH_NOT_FOUND
                                                     : ErrnoToWin32(error));
    return false;
}

HANDLE OpenPlainFile(const std::u16string &name, DWORD access, DWORD disposition) {
    platform::DeviceFileName file;
    if (!LocatePlainFile(name.c_str(), file))
        return INVALID_HANDLE_VALUE;
    const int dir = file.folder->Fd();
    const char *entry = file.name.c_str();
    int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    const bool read = (access & GENERIC_READ) != 0;
    const bool write = (access & GENERIC_WRITE) != 0;
    flags |= write ? (read ? O_RDWR : O_WRONLY) : O_RDONLY;

    int fd = -1;
    bool existed = false;
    switch (disposition) {
    case CREATE_NEW:
        fd = openat(dir, entry, flags | O_CREAT | O_EXCL, 0600);
        break;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS:
        // Told apart so that the answer can say whether the file existed;
        // a file that appears or goes in between costs another round.
        for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
            fd = openat(dir, entry, flags);
            if (fd >= 0) {
                existed = true;
                break;
            }
            if (errno != ENOENT)
                break;
            fd = openat(dir, entry, flags | O_CREAT | O_EXCL, 0600);
            if (fd >= 0 || errno != EEXIST)
                break;
        }
        break;
    case OPEN_EXISTING:
        fd = openat(dir, entry, flags);
        existed = true;
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (fd < 0) {
        SetLastError(ErrnoToWin32(errno));
        return INVALID_HANDLE_VALUE;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd); // a directory, a pipe, a device node: not a file here
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (disposition == CREATE_ALWAYS && existed && ftruncate(fd, 0) != 0) {
        const int error = errno;
        close(fd);
        SetLastError(ErrnoToWin32(error));
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = platform::kernel::AllocHandle(std::make_shared<PlainFile>(fd));
    if (!handle)
        return INVALID_HANDLE_VALUE; // the PlainFile closed the descriptor
    // As Windows: success says whether an existing file was opened.
    const bool reportExisting =
        existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS);
    SetLastError(reportExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

// Driver result (DWORD)-1 means failure; keeps the driver's last error.
// Success leaves the caller's last error as it was.
BOOL FinishTransfer(DWORD result, DWORD count, LPDWORD done, DWORD callerError) {
    if (result == static_cast<DWORD>(-1)) {
        if (GetLastError() == ERROR_SUCCESS)
            SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    if (done)
        *done = result > count ? count : result; // never more than was asked
    SetLastError(callerError);
    return TRUE;
}

// What ReadFile and WriteFile share. On a device handle the transfer is the
// driver's entry point `entry` (Read or Write) and ends here with `result`;
// on a plain file the file is returned with its arguments checked, for the
// caller's own I/O. Null: the transfer is over and `result` says how.
template <typename Buffer>
std::shared_ptr<PlainFile>
StartTransfer(HANDLE file, Buffer buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped,
              DWORD (*platform::StreamDriver::*entry)(DWORD_PTR, Buffer, DWORD), BOOL &result) {
    result = FALSE;
    if (done)
        *done = 0;
    std::shared_ptr<KernelObject> object = platform::kernel::GetHandleObject(file);
    if (overlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (auto device = std::dynamic_pointer_cast<DeviceFile>(object)) {
        FileCall call(device);
        if (!call.Entered())
            return nullptr;
        const auto driverEntry = device->Dev().entry.*entry;
        if (!driverEntry) {
            SetLastError(ERROR_INVALID_FUNCTION);
            return nullptr;
        }
        const DWORD callerError = GetLastError();
        SetLastError(ERROR_SUCCESS);
        result =
            FinishTransfer(driverEntry(device->Open(), buffer, count), count, done, callerError);
        return nullptr;
    }
    auto plain = std::dynamic_pointer_cast<PlainFile>(object);
    if (!plain) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!buffer && count) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return plain;
}

} // namespace

// ---------------------------------------------------------------- Win32

// Attributes, flags and template are ignored.
HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                          DWORD disposition, DWORD flags, HANDLE templateFile) {
    (void)attributes;
    (void)flags;
    (void)templateFile;
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const size_t length = wcsnlen(name, 32768);
    if (length >= 32768) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    const std::u16string text(name, length);
    const std::u16string device = DeviceNameOf(text);
    if (!device.empty())
        return OpenDevice(device, access, share);
    return OpenPlainFile(text, access, disposition);
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD done,
                     LPOVERLAPPED overlapped) {
    BOOL result;
    const auto plain = StartTransfer<LPVOID>(file, buffer, count, done, overlapped,
                                             &platform::StreamDriver::Read, result);
    if (!plain)
        return result;
    ssize_t got;
    do {
        got = read(plain->Fd(), buffer, count);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        SetLastError(ErrnoToWin32(errno));
        return FALSE;
    }
    if (done)
        *done = static_cast<DWORD>(got);
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD done,
                      LPOVERLAPPED overlapped) {
    BOOL result;
    const auto plain = StartTransfer<LPCVOID>(file, buffer, count, done, overlapped,
                                              &platform::StreamDriver::Write, result);
    if (!plain)
        return result;
    const auto *bytes = static_cast<const char *>(buffer);
    DWORD written = 0;
    while (written < count) {
        const ssize_t put = write(plain->Fd(), bytes + written, count - written);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            if (done)
                *done = written;
            SetLastError(ErrnoToWin32(errno));
            return FALSE;
        }
        written += static_cast<DWORD>(put);
    }
    if (done)
        *done = written;
    return TRUE;
}

// Answers what the driver's IOControl answers; every argument reaches it
// unchanged.
BOOL WINAPI DeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                            DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped) {
    std::shared_ptr<KernelObject> object = platform::kernel::GetHandleObject(handle);
    auto device = std::dynamic_pointer_cast<DeviceFile>(object);
    if (!device) {
        SetLastError(object ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (overlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    FileCall call(device);
    if (!call.Entered())
        return FALSE;
    if (!device->Dev().entry.IOControl) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    return device->Dev().entry.IOControl(device->Open(), code, static_cast<PBYTE>(in), inSize,
                                         static_cast<PBYTE>(out), outSize, returned)
               ? TRUE
               : FALSE;
}

// The mask is kept per handle; stream drivers here raise no comm events.
BOOL WINAPI SetCommMask(HANDLE handle, DWORD mask) {
    std::shared_ptr<KernelObject> object = platform::kernel::GetHandleObject(handle);
    auto device = std::dynamic_pointer_cast<DeviceFile>(object);
    if (!device) {
        SetLastError(object ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    FileCall call(device);
    if (!call.Entered())
        return FALSE;
    device->commMask.store(mask);
    return TRUE;
}

BOOL WINAPI GetCommMask(HANDLE handle, LPDWORD mask) {
    std::shared_ptr<KernelObject> object = platform::kernel::GetHandleObject(handle);
    auto device = std::dynamic_pointer_cast<DeviceFile>(object);
    if (!device) {
        SetLastError(object ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!mask) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    FileCall call(device);
    if (!call.Entered())
        return FALSE;
    *mask = device->commMask.load();
    return TRUE;
}

// ---------------------------------------------------------------- plain files by name

BOOL WINAPI DeleteFileW(LPCWSTR path) {
    platform::DeviceFileName file;
    if (!LocatePlainFile(path, file))
        return FALSE;
    if (unlinkat(file.folder->Fd(), file.name.c_str(), 0) != 0) {
        SetLastError(ErrnoToWin32(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI MoveFileW(LPCWSTR existing, LPCWSTR renamed) {
    platform::DeviceFileName from, to;
    if (!LocatePlainFile(existing, from) || !LocatePlainFile(renamed, to))
        return FALSE;
    if (renameat2(from.folder->Fd(), from.name.c_str(), to.folder->Fd(), to.name.c_str(),
                  RENAME_NOREPLACE) != 0) {
        SetLastError(ErrnoToWin32(errno));
        return FALSE;
    }
    return TRUE;
}
