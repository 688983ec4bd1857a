#include "peer/Files.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "peer/Clock.h"
#include "peer/PeerError.h"
#include "peer/session/Signals.h"

namespace peer {
namespace {

// After a signal, a pipe's reader that takes nothing for this long ends that output, so that the
// run ends at once when nobody reads; a reader that keeps taking gets everything, the summary
// above all, however slowly it reads.
constexpr double kRoomAfterSignal = 0.1;
// How often a FIFO with no reader yet is tried again (a signal is seen at once).
constexpr double kReaderPoll = 0.02;

std::string KindText(mode_t mode) {
    if (S_ISFIFO(mode)) {
        return "a pipe (FIFO)";
    }
    if (S_ISCHR(mode)) {
        return "a character device";
    }
    if (S_ISBLK(mode)) {
        return "a block device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return "neither a file nor a pipe";
}

bool Takes(FileRole role, mode_t mode) {
    return S_ISREG(mode) || (role == FileRole::Stream && S_ISFIFO(mode));
}

[[noreturn]] void Refuse(const std::string& option, const std::string& path, FileRole role,
                         mode_t mode) {
    if (S_ISDIR(mode)) {
        throw UsageError(option + ": cannot use \"" + path + "\": " + std::strerror(EISDIR));
    }
    throw UsageError(option + ": \"" + path + "\" is " + KindText(mode) + "; " + option +
                     (role == FileRole::Stream
                          ? " takes a regular file, a pipe (FIFO) or - for standard output"
                          : " takes a regular file only"));
}

// Where a file option leads: a file that is there (device and inode), or the place a file still
// to be made will have.
struct Place {
    const FileUse* use = nullptr;
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string path;
};

Place PlaceOf(const FileUse& use) {
    Place place;
    place.use = &use;
    struct stat status {};
    if (IsStandardOutput(use.path) && use.role == FileRole::Stream) {
        if (::fstat(STDOUT_FILENO, &status) != 0) {
            throw UsageError(SystemMessage(use.option + ": standard output cannot be used"));
        }
        if (!Takes(use.role, status.st_mode)) {
            throw UsageError(use.option + ": standard output is " +
                             (::isatty(STDOUT_FILENO) == 1 ? std::string("a terminal")
                                                           : KindText(status.st_mode)) +
                             "; - writes to standard output only as a pipe or a file");
        }
    } else if (IsStandardOutput(use.path) && use.role == FileRole::Document) {
        throw UsageError(use.option + ": - is not standard output here, the file must be one " +
                         "to read back (./- names a file called -)");
    } else if (::stat(use.path.c_str(), &status) == 0) {
        if (!Takes(use.role, status.st_mode)) {
            Refuse(use.option, use.path, use.role, status.st_mode);
        }
    } else if (errno == ENOENT && use.role != FileRole::Source) {
        std::error_code error;
        const auto absolute = std::filesystem::absolute(use.path, error);
        place.path = std::filesystem::weakly_canonical(absolute, error).string();
        if (error) {
            place.path = absolute.lexically_normal().string();
        }
        return place;
    } else {
        throw UsageError(SystemMessage(use.option + ": cannot open \"" + use.path + "\""));
    }
    place.exists = true;
    place.device = status.st_dev;
    place.inode = status.st_ino;
    return place;
}

bool SamePlace(const Place& a, const Place& b) {
    if (a.exists != b.exists) {
        return false;
    }
    return a.exists ? a.device == b.device && a.inode == b.inode : a.path == b.path;
}

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

// Opens without waiting (a FIFO's open would), then checks what was opened: the name may have
// changed since it was looked at.
int OpenKind(const std::string& path, int flags, const std::string& option, FileRole role) {
    const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        return fd;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !Takes(role, status.st_mode)) {
        const mode_t mode = status.st_mode;
        ::close(fd);
        Refuse(option, path, role, mode);
    }
    if (S_ISREG(status.st_mode)) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    return fd;
}

}  // namespace

void CheckFileUses(std::span<const FileUse> uses) {
    std::vector<Place> places;
    for (const FileUse& use : uses) {
        if (use.path.empty()) {
            continue;
        }
        const Place place = PlaceOf(use);
        for (const Place& other : places) {
            // Reading one file twice is harmless; writing it while it is read or written is not.
            const bool bothRead =
                use.role == FileRole::Source && other.use->role == FileRole::Source;
            if (bothRead || !SamePlace(place, other)) {
                continue;
            }
            if (IsStandardOutput(use.path) && IsStandardOutput(other.use->path)) {
                throw UsageError(other.use->option + " and " + use.option +
                                 " cannot both write to standard output (-)");
            }
            const std::string names = other.use->path == use.path
                                          ? "\"" + use.path + "\""
                                          : "(\"" + other.use->path + "\", \"" + use.path + "\")";
            throw UsageError(other.use->option + " and " + use.option + " name the same file " +
                             names);
        }
        places.push_back(place);
    }
}

bool IsStandardOutput(const std::string& path) {
    return path == "-";
}

FileHandle::~FileHandle() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

FileHandle OpenToRead(const std::string& path, const std::string& option) {
    if (path.empty()) {
        return FileHandle();
    }
    const int fd = OpenKind(path, O_RDONLY, option, FileRole::Source);
    if (fd < 0) {
        throw UsageError(SystemMessage(option + ": cannot open \"" + path + "\""));
    }
    return FileHandle(fd);
}

FileHandle OpenToPlay(const std::string& path) {
    FileHandle file = OpenToRead(path, "--play");
    struct stat status {};
    if (file.Get() >= 0 && ::fstat(file.Get(), &status) == 0 && status.st_size == 0) {
        throw UsageError("--play: \"" + path + "\" is empty: there is no voice to stream");
    }
    return file;
}

FileHandle OpenToWrite(const std::string& path, const std::string& option) {
    if (path.empty()) {
        return FileHandle();
    }
    const int fd = OpenKind(path, O_WRONLY | O_CREAT, option, FileRole::Document);
    if (fd < 0 || ::ftruncate(fd, 0) != 0) {
        const std::string message = SystemMessage(option + ": cannot open \"" + path + "\"");
        if (fd >= 0) {
            ::close(fd);
        }
        throw UsageError(message);
    }
    return FileHandle(fd);
}

std::vector<std::uint8_t> ReadWhole(const std::string& path, std::size_t limit,
                                    const std::string& option) {
    const int fd = OpenChecked(path, O_RDONLY, option);
    const FileHandle closer(fd);
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

OutputFile::OutputFile(const std::string& path, std::string option, SignalWatch& signals)
    : path_(path), option_(std::move(option)), signals_(&signals) {
    if (path_.empty()) {
        return;
    }
    if (IsStandardOutput(path_)) {
        struct stat status {};
        if (::fstat(STDOUT_FILENO, &status) != 0 || !Takes(FileRole::Stream, status.st_mode)) {
            throw UsageError(option_ + ": standard output is neither a pipe nor a file");
        }
        pipe_ = S_ISFIFO(status.st_mode);
        // A pipe of its own opening, so that waiting for room never changes how the descriptor
        // shared with the shell behaves; where /proc is missing, the shared one, put back after.
        fd_ = pipe_ ? ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC) : -1;
        if (fd_ < 0) {
            fd_ = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
            if (fd_ >= 0 && pipe_) {
                restoreFlags_ = ::fcntl(fd_, F_GETFL);
                ::fcntl(fd_, F_SETFL, restoreFlags_ | O_NONBLOCK);
            }
        }
        if (fd_ < 0) {
            throw UsageError(SystemMessage(option_ + ": standard output cannot be used"));
        }
        return;
    }
    bool told = false;
    for (;;) {
        fd_ = OpenKind(path_, O_WRONLY | O_CREAT, option_, FileRole::Stream);
        // A FIFO nobody reads yet: wait for its reader, as a shell's redirection would.
        if (fd_ >= 0 || errno != ENXIO) {
            break;
        }
        if (!told) {
            std::fprintf(stderr, "udpphone-peer: %s: waiting for a reader of \"%s\"\n",
                         option_.c_str(), path_.c_str());
            told = true;
        }
        if (signals.Wait(kReaderPoll)) {
            throw Interrupted();
        }
    }
    struct stat status {};
    if (fd_ < 0 || ::fstat(fd_, &status) != 0 ||
        (S_ISREG(status.st_mode) && ::ftruncate(fd_, 0) != 0)) {
        const std::string message = SystemMessage(option_ + ": cannot open \"" + path_ + "\"");
        if (fd_ >= 0) {
            ::close(fd_);
        }
        throw UsageError(message);
    }
    pipe_ = S_ISFIFO(status.st_mode);
}

OutputFile::~OutputFile() {
    if (fd_ < 0) {
        return;
    }
    if (restoreFlags_ >= 0) {
        ::fcntl(fd_, F_SETFL, restoreFlags_);
    }
    ::close(fd_);
}

bool OutputFile::Write(std::span<const std::uint8_t> bytes, std::size_t* written) {
    std::size_t done = 0;
    while (fd_ >= 0 && !ended_ && done < bytes.size()) {
        const ssize_t count = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (count > 0) {
            done += static_cast<std::size_t>(count);
            lastTaken_ = MonotonicSeconds();
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else if (count < 0 && errno == EAGAIN && pipe_) {
            if (!WaitForRoom()) {
                End("its reader took nothing more before the run ended");
            }
        } else if (count < 0 && errno == EPIPE) {
            End("its reader quit");
        } else {
            if (count == 0) {
                errno = EIO;
            }
            error_ = SystemMessage(option_ + ": cannot write \"" + path_ + "\"");
            break;
        }
    }
    if (written != nullptr) {
        *written = done;
    }
    return done == bytes.size() && fd_ >= 0 && !ended_;
}

bool OutputFile::CutTo(std::uint64_t size) {
    const auto offset = static_cast<off_t>(size);
    return !pipe_ && ::ftruncate(fd_, offset) == 0 && ::lseek(fd_, offset, SEEK_SET) == offset;
}

bool OutputFile::WaitForRoom() {
    for (;;) {
        double limit = 1;
        if (signals_->Caught()) {
            limit =
                std::max(signals_->CaughtAt(), lastTaken_) + kRoomAfterSignal - MonotonicSeconds();
            if (limit <= 0) {
                return false;
            }
        }
        pollfd watched[] = {{fd_, POLLOUT, 0}, {signals_->Descriptor(), POLLIN, 0}};
        const timespec timeout = ToTimespec(limit);
        ::ppoll(watched, 2, &timeout, nullptr);
        if (watched[0].revents != 0) {
            return true;  // room, or an error the next write tells
        }
    }
}

void OutputFile::End(const std::string& why) {
    ended_ = true;
    const std::string name = IsStandardOutput(path_) ? "standard output" : "\"" + path_ + "\"";
    error_ = option_ + ": " + name + " ended: " + why + "; nothing more is written to it";
    std::fprintf(stderr, "udpphone-peer: %s\n", error_->c_str());
}

}  // namespace peer
