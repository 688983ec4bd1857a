#pragma once
// The headless peer as a process of the test's own, waited for while Qt's events keep running
// (so a window in the test process goes on working), with its JSON lines read back.

#include <QProcess>
#include <QStringList>
#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace testsupport {

struct PeerResult {
    int exitCode = -1;  // -1: did not end in time
    std::string out, err;
    std::vector<nlohmann::json> lines;  // stdout, when it was JSON
    nlohmann::json summary;             // the last line's "summary"
    // The per-datagram lines in one direction ("in" or "out").
    std::vector<nlohmann::json> Datagrams(const std::string& direction) const;
};

class PeerProcess {
  public:
    // `launcher` runs the peer inside something, such as another network namespace.
    explicit PeerProcess(const QStringList& arguments, const QStringList& launcher = {});
    ~PeerProcess();

    // Waits until the peer says it is answering.
    bool WaitUntilAnswering(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits, while the peer runs, until `holds` is true of all it wrote so far to its standard
    // output and error.
    bool WaitUntil(const std::function<bool(const std::string& out, const std::string& err)>& holds,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void Signal(int number);
    qint64 Pid() const { return process_->processId(); }
    PeerResult Finish(std::chrono::milliseconds timeout = std::chrono::seconds(60));

  private:
    void Gather();

    std::unique_ptr<QProcess> process_;
    std::string out_, err_;
};

// Arguments written as one line, split at each blank (nothing is quoted).
inline QStringList Words(const QString& line) {
    return line.split(' ');
}

// The threads the process `pid` has now (0 once it is gone): a host-name lookup runs in its own.
int ThreadsOf(qint64 pid);

PeerResult RunPeer(const QStringList& arguments,
                   std::chrono::milliseconds timeout = std::chrono::seconds(60),
                   const QStringList& launcher = {});

}  // namespace testsupport
