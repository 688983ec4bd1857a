#include "peer/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "peer/PeerError.h"

namespace peer {
namespace {

int OpenChecked(const std::string& path, int flags, const std::string& option) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        throw UsageError(SystemMessage(option + ": cannot open \"" + path + "\""));
    }
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
        ::close(fd);
        throw UsageError(option + ": \"" + path + "\" is a directory");
    }
    return fd;
}

}  // namespace

FileHandle::~FileHandle() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

FileHandle OpenToRead(const std::string& path, const std::string& option) {
    return FileHandle(path.empty() ? -1 : OpenChecked(path, O_RDONLY, option));
}

FileHandle OpenToWrite(const std::string& path, const std::string& option) {
    return FileHandle(path.empty() ? -1 : OpenChecked(path, O_WRONLY | O_CREAT | O_TRUNC, option));
}

std::vector<std::uint8_t> ReadWhole(const std::string& path, std::size_t limit,
                                    const std::string& option) {
    FileHandle file = OpenToRead(path, option);
    const int fd = file.Release();
    FileHandle closer(fd);
    std::vector<std::uint8_t> bytes(limit + 1);
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t count = ::read(fd, bytes.data() + filled, bytes.size() - filled);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            throw UsageError(SystemMessage(option + ": cannot read \"" + path + "\""));
        }
        if (count == 0) {
            break;
        }
        filled += static_cast<std::size_t>(count);
    }
    if (filled > limit) {
        throw UsageError(option + ": \"" + path + "\" holds more than " + std::to_string(limit) +
                         " bytes");
    }
    bytes.resize(filled);
    return bytes;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t count = ::write(fd, bytes + done, size - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            if (count == 0) {
                errno = EIO;
            }
            return false;
        }
        done += static_cast<std::size_t>(count);
    }
    return true;
}

}  // namespace peer
