#pragma once
// The files the peer reads and writes, opened before anything is sent; a file that cannot be
// used ends the run with a message naming its option.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace peer {

// An open descriptor that closes itself unless released.
class FileHandle {
  public:
    explicit FileHandle(int fd = -1) : fd_(fd) {}
    ~FileHandle();
    FileHandle(FileHandle&& other) noexcept : fd_(other.Release()) {}
    FileHandle& operator=(FileHandle&&) = delete;
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// Empty `path`: no file (-1).
FileHandle OpenToRead(const std::string& path, const std::string& option);
// Created or truncated.
FileHandle OpenToWrite(const std::string& path, const std::string& option);
// Writes all `size` bytes, going on after interruptions and short writes. False with errno set
// (EIO where the system wrote nothing and said nothing) when it cannot.
bool WriteAll(int fd, const void* data, std::size_t size);
// The whole file, refused when longer than `limit` bytes.
std::vector<std::uint8_t> ReadWhole(const std::string& path, std::size_t limit,
                                    const std::string& option);

}  // namespace peer
