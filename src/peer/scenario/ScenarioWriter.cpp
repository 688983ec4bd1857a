#include "peer/scenario/ScenarioWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "peer/Files.h"
#include "peer/PeerError.h"
#include "peer/scenario/Scenario.h"

namespace peer {
namespace {

// A count takes at most ten digits (a scenario's counts stop at 1000000000); blanks fill the rest.
constexpr std::size_t kCountWidth = 10;

std::string Padded(std::uint64_t count) {
    std::string text = std::to_string(count);
    text.resize(std::max(text.size(), kCountWidth), ' ');
    return text;
}

}  // namespace

ScenarioWriter::ScenarioWriter(std::string path) : path_(std::move(path)) {
    fd_ = OpenToWrite(path_, "--save").Release();
    // Read back at the end, to be written in its final form.
    readFd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

ScenarioWriter::~ScenarioWriter() {
    for (const int fd : {fd_, readFd_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void ScenarioWriter::Fault(const std::string& what) {
    if (!fault_) {
        fault_ = SystemMessage("--save: cannot " + what + " \"" + path_ + "\"");
    }
}

void ScenarioWriter::Write(const std::string& text) {
    if (fault_) {
        return;
    }
    // What run would not read is not written: the scenario ends with the last step that fits.
    if (size_ + text.size() > kLongestScenario) {
        fault_ = "--save: \"" + path_ + "\" reached " + std::to_string(kLongestScenario >> 20) +
                 " MiB, the most a scenario may hold: the steps after that are not in it";
        return;
    }
    if (!WriteAll(fd_, text.data(), text.size())) {
        Fault("write");
        return;
    }
    size_ += text.size();
}

void ScenarioWriter::Line(const std::string& text) {
    Write(text + "\n");
}

void ScenarioWriter::CountedLine(const std::string& text, std::uint64_t count) {
    EndCount();
    const std::string head = text + " chunks=";
    counted_ = size_ + head.size();
    count_ = count;
    Write(head + Padded(count) + "\n");
}

void ScenarioWriter::Count(std::uint64_t count) {
    if (!counted_ || fault_ || count == count_) {
        return;
    }
    count_ = count;
    const std::string digits = std::to_string(count);
    if (::pwrite(fd_, digits.data(), digits.size(), static_cast<off_t>(*counted_)) !=
        static_cast<ssize_t>(digits.size())) {
        Fault("write");
    }
}

void ScenarioWriter::EndCount() {
    if (counted_) {
        const std::uint64_t digits = std::to_string(count_).size();
        if (digits < kCountWidth) {
            room_.emplace_back(*counted_ + digits, kCountWidth - digits);
        }
        counted_.reset();
    }
}

std::optional<std::string> ScenarioWriter::Finish() {
    EndCount();
    if (!fault_ && !room_.empty()) {
        Compact();
    }
    if (fd_ >= 0 && ::close(fd_) != 0) {
        Fault("write");
    }
    fd_ = -1;
    if (readFd_ >= 0) {
        ::close(readFd_);
        readFd_ = -1;
    }
    return fault_;
}

void ScenarioWriter::Compact() {
    // Over the file it replaces, wherever that lies (a link stays a link). Where that cannot be
    // done, the file stays as written: whole, and read the same, only with blanks to spare.
    std::error_code error;
    const std::filesystem::path target = std::filesystem::canonical(path_, error);
    const std::filesystem::path replaced = error ? std::filesystem::path(path_) : target;
    std::string temporary =
        replaced.parent_path() / ("." + replaced.filename().string() + ".XXXXXX");
    const int out = ::mkstemp(temporary.data());
    if (out < 0) {
        return;
    }
    FileHandle closer(out);
    struct stat status {};
    if (::fstat(fd_, &status) == 0) {
        ::fchmod(out, status.st_mode & 07777);
    }
    std::vector<char> block(1 << 16);
    std::uint64_t offset = 0;
    std::size_t next = 0;  // the next room to leave out
    while (offset < size_) {
        std::uint64_t end = next < room_.size() ? room_[next].first : size_;
        end = std::min(end, offset + block.size());
        const ssize_t got =
            ::pread(readFd_, block.data(), end - offset, static_cast<off_t>(offset));
        if (got <= 0 || !WriteAll(out, block.data(), static_cast<std::size_t>(got))) {
            ::unlink(temporary.c_str());
            return;
        }
        offset += static_cast<std::uint64_t>(got);
        if (next < room_.size() && offset == room_[next].first) {
            offset += room_[next].second;
            ++next;
        }
    }
    if (::rename(temporary.c_str(), replaced.c_str()) != 0) {
        ::unlink(temporary.c_str());
    }
}

}  // namespace peer
