#pragma once
// The files the peer reads and writes, looked at and opened before anything is sent; a file that
// cannot be used ends the run with a message naming its option. Nothing here blocks a signal:
// a pipe that waits for its reader, or for room, gives way to SIGINT, SIGTERM and SIGHUP.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace peer {

class SignalWatch;

// An open descriptor that closes itself unless released.
class FileHandle {
  public:
    explicit FileHandle(int fd = -1) : fd_(fd) {}
    ~FileHandle();
    FileHandle(FileHandle&& other) noexcept : fd_(other.Release()) {}
    FileHandle& operator=(FileHandle&&) = delete;
    int Get() const { return fd_; }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// What a file option may name.
enum class FileRole {
    // Read, possibly more than once and on a schedule: a regular file only.
    Source,
    // Written as the run goes: a regular file (made or truncated), a pipe (FIFO), or "-" for
    // standard output when that is a pipe or a file.
    Stream,
    // Written: a regular file, made or truncated.
    Document,
};

struct FileUse {
    std::string option;  // as messages name it: "--play", "SCENARIO"...
    std::string path;    // empty: not used
    FileRole role;
};

// Looks at every file named, without opening any (a pipe's open would wait): a kind the role does
// not take, or one file named twice where either use writes it (the same device and inode; for
// files still to be made, names that lead to the same place), throws UsageError.
void CheckFileUses(std::span<const FileUse> uses);

// "-": standard output, for a Stream.
bool IsStandardOutput(const std::string& path);

// Empty `path`: no file (-1). A regular file only; opening never waits.
FileHandle OpenToRead(const std::string& path, const std::string& option);
// OpenToRead for --play: an empty file is refused too, as it has nothing to stream.
FileHandle OpenToPlay(const std::string& path);
// A regular file, created or truncated.
FileHandle OpenToWrite(const std::string& path, const std::string& option);
// Writes all `size` bytes, going on after interruptions and short writes. False with errno set
// (EIO where the system wrote nothing and said nothing) when it cannot.
bool WriteAll(int fd, const void* data, std::size_t size);
// The whole file, refused when longer than `limit` bytes.
std::vector<std::uint8_t> ReadWhole(const std::string& path, std::size_t limit,
                                    const std::string& option);

// A Stream output. Into a pipe, a write waits for room as long as no signal came; after one, as
// long as the reader keeps taking (100 ms at most without taking anything); a reader that quit or
// stopped taking ends the output, and every later write is refused. Either says so once on the
// standard error and in Error().
class OutputFile {
  public:
    // Empty `path`: no output. Opens a pipe without waiting for a signal: a FIFO with no reader
    // yet is waited for until one comes, or a signal (Interrupted).
    OutputFile(const std::string& path, std::string option, SignalWatch& signalWatch);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    // A pipe: whoever reads it waits for what is written.
    bool IsPipe() const { return pipe_; }
    bool Ended() const { return ended_; }
    const std::string& Path() const { return path_; }
    const std::string& Option() const { return option_; }
    // Why the output ended or the last write failed.
    const std::optional<std::string>& Error() const { return error_; }

    // Writes all of `bytes`; false when not all of them went (`written` says how many did).
    bool Write(std::span<const std::uint8_t> bytes, std::size_t* written = nullptr);
    // A regular file cut back to its first `size` bytes, after a write that went only part way.
    bool CutTo(std::uint64_t size);

  private:
    bool WaitForRoom();
    void End(const std::string& why);

    std::string path_;
    std::string option_;
    SignalWatch* signals_;
    int fd_ = -1;
    bool pipe_ = false;
    bool ended_ = false;
    double lastTaken_ = 0;   // monotonic seconds of the last write the reader took
    int restoreFlags_ = -1;  // the shared standard output's flags, put back at the end
    std::optional<std::string> error_;
};

}  // namespace peer
