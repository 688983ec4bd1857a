#include "app/VoiceFiles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "shell/ProcessSetup.h"

namespace voice {
namespace {

// Reopens the file that `probe` (an O_PATH descriptor) stands for, with `flags`. Through /proc the
// very same file opens, whatever has become of its name since. Without /proc mounted only the name
// is left: the file found there must still be the one that was checked (a name replaced in that
// instant is opened before it is refused).
int Reopen(int probe, const std::string& path, const struct stat& checked, int flags) {
    int fd = ::open(("/proc/self/fd/" + std::to_string(probe)).c_str(), flags);
    if (fd < 0 && errno == ENOENT) {
        fd = ::open(path.c_str(), flags);
    }
    if (fd < 0) {
        return -1;
    }
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || opened.st_dev != checked.st_dev ||
        opened.st_ino != checked.st_ino) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Only a regular file is ever opened: the kind is checked on a descriptor that opens nothing
// (O_PATH), since opening a pipe releases the writer waiting at its other end, and opening a
// device or terminal can act on it. A terminal never becomes the controlling one. Non-blocking,
// so that a lease another process holds on the file cannot hold the window.
int OpenRegular(const std::string& path, int access) {
    int probe = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    if (probe < 0) {
        return -1;
    }
    struct stat status {};
    int fd = -1;
    if (::fstat(probe, &status) == 0 && S_ISREG(status.st_mode)) {
        fd = Reopen(probe, path, status, access | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    }
    ::close(probe);
    if (fd < 0) {
        return -1;
    }
    // Descriptor 0 stays only when no other could be had; as a handle it would mean "none".
    fd = shell::MoveAboveZero(fd);
    if (fd == 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int OpenForReading(const std::string& path) {
    return OpenRegular(path, O_RDONLY);
}

int OpenForWriting(const std::string& path) {
    int fd = OpenRegular(path, O_WRONLY);
    if (fd < 0) {
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

long Read(int handle, void* buffer, std::size_t size) {
    for (;;) {
        ssize_t count = ::read(handle, buffer, size);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        return count < 0 ? -1 : static_cast<long>(count);
    }
}

void Write(int handle, const void* buffer, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    while (size > 0) {
        ssize_t written = ::write(handle, bytes, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;  // a full disk or a failed device loses the rest, as the caller accepts
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
}

void Close(int handle) {
    if (handle > 0) {
        ::close(handle);
    }
}

}  // namespace voice
