#pragma once
// What the peer prints on standard output: a line for each datagram sent or received (unless
// quiet), readable or as one JSON object a line, and last the summary.

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "peer/Files.h"
#include "peer/session/Wire.h"

namespace peer {

struct OutputStyle {
    bool json = false;
    bool quiet = false;
};

// Something else drawn on the terminal the lines go to (the status line): wiped before each line
// and drawn again below it.
class LineGuard {
  public:
    virtual ~LineGuard() = default;
    virtual void BeforeLine() = 0;
    virtual void AfterLine() = 0;
};

class Report final : public DatagramTap {
  public:
    explicit Report(OutputStyle style, std::FILE* out = stdout) : style_(style), out_(out) {}

    // Writes the lines through `sink` instead, a pipe that must not hold back a signal.
    void WriteThrough(OutputFile* sink) { sink_ = sink; }
    void Guard(LineGuard* guard) { guard_ = guard; }
    // Where the lines go: a stream, or (null) the sink.
    std::FILE* Stream() const { return sink_ == nullptr ? out_ : nullptr; }

    // A line of its own, shown also with --quiet: the running figures asked for with --interval.
    void Line(const std::string& line) { PutLine(line); }

    void OnDatagram(const DatagramEvent& event) override;

    // A line of the window's log for an answered request; readable output only.
    void LogLine(const std::string& line);
    // Whether log lines are shown: where not, they need not be made.
    bool ShowsLog() const { return !style_.quiet && !style_.json; }

    // The summary object, last.
    void Summary(const nlohmann::ordered_json& summary);

    // One datagram as its JSON object (also what a readable line shows).
    static nlohmann::ordered_json Describe(const DatagramEvent& event);

  private:
    void PutLine(const std::string& line);
    void PutBare(const std::string& line);

    OutputStyle style_;
    std::FILE* out_;
    OutputFile* sink_ = nullptr;
    LineGuard* guard_ = nullptr;
    bool ended_ = false;
};

}  // namespace peer
