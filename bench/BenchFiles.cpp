#include "bench/BenchFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

#include "bench/BenchDatagrams.h"

namespace bench {

void TruncateFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw std::runtime_error("cannot create " + path);
    }
    ::close(fd);
}

void WriteChunkFile(const std::string& path, std::uint64_t chunks) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw std::runtime_error("cannot create " + path);
    }
    std::vector<std::uint8_t> block(phone::kVoicePayloadSize * 1024);
    for (std::uint64_t first = 0; first < chunks; first += 1024) {
        std::uint64_t count = std::min<std::uint64_t>(1024, chunks - first);
        for (std::uint64_t k = 0; k < count; ++k) {
            FillChunk(block.data() + k * phone::kVoicePayloadSize, first + k);
        }
        const auto size = static_cast<std::size_t>(count * phone::kVoicePayloadSize);
        if (::write(fd, block.data(), size) != static_cast<ssize_t>(size)) {
            ::close(fd);
            throw std::runtime_error("cannot write " + path);
        }
    }
    ::close(fd);
}

ChunkFileCheck CheckChunkFile(const std::string& path, std::uint64_t expected) {
    ChunkFileCheck check;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return check;
    }
    struct stat status {};
    ::fstat(fd, &status);
    check.chunks = static_cast<std::uint64_t>(status.st_size) / phone::kVoicePayloadSize;
    check.firstWrong = expected;
    std::vector<std::uint8_t> block(phone::kVoicePayloadSize * 4096);
    std::uint64_t index = 0;
    for (;;) {
        ssize_t n = ::read(fd, block.data(), block.size());
        if (n <= 0) {
            break;
        }
        // Reads of a regular file come whole except at its end.
        for (ssize_t offset = 0; offset + static_cast<ssize_t>(phone::kVoicePayloadSize) <= n;
             offset += phone::kVoicePayloadSize, ++index) {
            if (check.firstWrong == expected &&
                (index >= expected || !ChunkIs(block.data() + offset, index))) {
                check.firstWrong = index;
            }
        }
    }
    ::close(fd);
    check.exact = check.chunks == expected && check.firstWrong == expected &&
                  static_cast<std::uint64_t>(status.st_size) == expected * phone::kVoicePayloadSize;
    return check;
}

}  // namespace bench
