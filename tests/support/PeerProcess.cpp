#include "support/PeerProcess.h"

#include <signal.h>

#include <fstream>
#include <sstream>

#include "shell/Gathering.h"
#include "support/EventWaits.h"

namespace testsupport {

std::vector<nlohmann::json> PeerResult::Datagrams(const std::string& direction) const {
    std::vector<nlohmann::json> found;
    for (const auto& line : lines) {
        if (line.value("dir", "") == direction) {
            found.push_back(line);
        }
    }
    return found;
}

PeerProcess::PeerProcess(const QStringList& arguments, const QStringList& launcher)
    : process_(new QProcess) {
    if (launcher.isEmpty()) {
        process_->start(UDPPHONE_PEER_EXECUTABLE, arguments);
    } else {
        process_->start(launcher.first(),
                        launcher.mid(1) + QStringList{UDPPHONE_PEER_EXECUTABLE} + arguments);
    }
    process_->waitForStarted(10000);
}

PeerProcess::~PeerProcess() {
    if (process_->state() != QProcess::NotRunning) {
        process_->kill();
        process_->waitForFinished(5000);
    }
}

void PeerProcess::Gather() {
    out_ += process_->readAllStandardOutput().toStdString();
    err_ += process_->readAllStandardError().toStdString();
}

bool PeerProcess::WaitUntilAnswering(std::chrono::milliseconds timeout) {
    return WaitUntil(
        [](const std::string&, const std::string& err) {
            return err.find("answering on") != std::string::npos;
        },
        timeout);
}

bool PeerProcess::WaitUntil(
    const std::function<bool(const std::string& out, const std::string& err)>& holds,
    std::chrono::milliseconds timeout) {
    return WaitFor(
               [&] {
                   Gather();
                   return holds(out_, err_) || process_->state() == QProcess::NotRunning;
               },
               timeout) &&
           process_->state() == QProcess::Running;
}

void PeerProcess::Signal(int number) {
    ::kill(static_cast<pid_t>(process_->processId()), number);
}

PeerResult PeerProcess::Finish(std::chrono::milliseconds timeout) {
    PeerResult result;
    // Read as it comes, so a chatty peer never blocks on a full pipe.
    const bool ended = WaitFor(
        [&] {
            Gather();
            return process_->state() == QProcess::NotRunning;
        },
        timeout);
    Gather();
    const std::string& out = out_;
    // A window the peer talked to has logged what it was sent once its lines are in place.
    WaitFor([] { return !shell::SettleInProgress(); });
    result.out = out;
    result.err = err_;
    if (ended && process_->exitStatus() == QProcess::NormalExit) {
        result.exitCode = process_->exitCode();
    }
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);) {
        auto parsed = nlohmann::json::parse(line, nullptr, false);
        if (parsed.is_discarded()) {
            continue;
        }
        if (parsed.contains("summary")) {
            result.summary = parsed["summary"];
        }
        result.lines.push_back(std::move(parsed));
    }
    return result;
}

PeerResult RunPeer(const QStringList& arguments, std::chrono::milliseconds timeout,
                   const QStringList& launcher) {
    return PeerProcess(arguments, launcher).Finish(timeout);
}

int ThreadsOf(qint64 pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Threads:", 0) == 0) {
            return std::stoi(line.substr(8));
        }
    }
    return 0;
}

}  // namespace testsupport
