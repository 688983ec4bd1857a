#include "app/VoiceFiles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "shell/ProcessSetup.h"

namespace voice {
namespace {

// Non-blocking, so a pipe or device with that name cannot hold the window; anything but a
// regular file is refused afterwards.
int OpenRegular(const std::string& path, int access) {
    int fd = ::open(path.c_str(), access | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return -1;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
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
