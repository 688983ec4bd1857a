#include "bench/PeerChildren.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace bench {

namespace {

constexpr int kRealTimePriority = 10;

}  // namespace

bool MakeThisThreadRealTime() {
    sched_param priority{};
    priority.sched_priority = kRealTimePriority;
    return ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &priority) == 0;
}

bool RealTimeAllowed() {
    // Tried on a thread of its own, which ends with it: the bench's own threads stay as they are.
    bool allowed = false;
    std::thread probe([&] { allowed = MakeThisThreadRealTime(); });
    probe.join();
    return allowed;
}

Child Spawn(int cpu, const std::vector<std::string>& command, Scheduling scheduling) {
    std::vector<std::string> all;
    if (scheduling == Scheduling::RealTime) {
        all = {"/usr/bin/chrt", "--fifo", std::to_string(kRealTimePriority)};
    }
    all.insert(all.end(), {"/usr/bin/taskset", "-c", std::to_string(cpu)});
    all.insert(all.end(), command.begin(), command.end());
    std::vector<char*> argv;
    for (std::string& argument : all) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    Child child;
    const int spawned = ::posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        throw std::runtime_error("cannot start " + command.front());
    }
    child.out = pipeFds[0];
    return child;
}

nlohmann::json Finish(Child& child, int* exitCode, std::vector<nlohmann::json>* lines) {
    std::string output;
    char chunk[4096];
    for (ssize_t n; (n = ::read(child.out, chunk, sizeof chunk)) != 0;) {
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            break;
        }
        output.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(child.out);
    int status = 0;
    ::waitpid(child.pid, &status, 0);
    if (exitCode != nullptr) {
        *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::istringstream text(output);
    nlohmann::json summary;
    for (std::string line; std::getline(text, line);) {
        auto parsed = nlohmann::json::parse(line, nullptr, false);
        if (parsed.is_discarded()) {
            continue;
        }
        if (parsed.contains("summary")) {
            summary = parsed["summary"];
        }
        if (lines != nullptr) {
            lines->push_back(std::move(parsed));
        }
    }
    return summary;
}

double Get(const nlohmann::json& value, double fallback) {
    return value.is_number() ? value.get<double>() : fallback;
}

}  // namespace bench
