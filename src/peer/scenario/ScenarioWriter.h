#pragma once
// The scenario file of --save, written as the run goes: each line reaches the file when it is
// made, so a run killed even by SIGKILL leaves every step so far. A stream step's chunk count is
// known only when its stream ends, so it is written with room for the count and rewritten in
// place as chunks go out; at an ordered end the file takes its final form, without that room,
// all at once (a new file renamed over the old).

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace peer {

class ScenarioWriter {
  public:
    // Makes (or empties) the file now; UsageError naming --save when it cannot.
    explicit ScenarioWriter(std::string path);
    ~ScenarioWriter();
    ScenarioWriter(const ScenarioWriter&) = delete;
    ScenarioWriter& operator=(const ScenarioWriter&) = delete;

    void Line(const std::string& text);
    // `text` with " chunks=N" after it, N to be set by Count until EndCount.
    void CountedLine(const std::string& text, std::uint64_t count);
    void Count(std::uint64_t count);
    void EndCount();

    // Closes the file in its final form; the first fault met on the way, as a message.
    std::optional<std::string> Finish();

  private:
    void Write(const std::string& text);
    void Fault(const std::string& what);
    void Compact();

    std::string path_;
    int fd_ = -1;
    int readFd_ = -1;
    std::uint64_t size_ = 0;                // bytes in the file
    std::optional<std::uint64_t> counted_;  // where the count being kept is written
    std::uint64_t count_ = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> room_;  // offset and length, to drop
    std::optional<std::string> fault_;
};

}  // namespace peer
