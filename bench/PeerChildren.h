#pragma once
// udpphone-peer processes a benchmark starts: each pinned to a core, its standard output read back
// for the JSON lines it printed.

#include <sys/types.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace bench {

struct Child {
    pid_t pid = -1;
    int out = -1;
};

// How a child is scheduled on its core. Under the default class, any other task the core runs
// (a kernel worker, softirq work) can hold a child's wake-up back by milliseconds; a real-time
// class keeps those off while it runs.
enum class Scheduling { Default, RealTime };

// Puts the calling thread in the real-time class at priority 10, as chrt --fifo 10 does a child;
// false where that is not allowed (it needs root, CAP_SYS_NICE or an RLIMIT_RTPRIO allowance).
bool MakeThisThreadRealTime();

// Whether this process may give its children a real-time class.
bool RealTimeAllowed();

// Starts `command` pinned to `cpu` (taskset), with real-time priority 10 (chrt --fifo) if asked,
// its standard output into a pipe.
Child Spawn(int cpu, const std::vector<std::string>& command,
            Scheduling scheduling = Scheduling::Default);

// Reads the child's output to its end and waits for it; the summary of its last line. With
// `lines`, every JSON line it printed too.
nlohmann::json Finish(Child& child, int* exitCode = nullptr,
                      std::vector<nlohmann::json>* lines = nullptr);

// A number of a summary, or `fallback` where it holds none.
double Get(const nlohmann::json& value, double fallback = NAN);

}  // namespace bench
