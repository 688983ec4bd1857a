#include "bench/BenchSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "shell/ApplicationTitle.h"
#include "shell/NotifyWindow.h"
#include "shell/ProcessSetup.h"

extern char** environ;

namespace bench {

double Now() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

bool PinThisThread(int cpu) {
    if (cpu >= static_cast<int>(::sysconf(_SC_NPROCESSORS_ONLN))) {
        return false;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return ::sched_setaffinity(0, sizeof set, &set) == 0;
}

namespace {

// Moves the calling thread into the cgroup whose thread list the environment names, if it does.
void JoinThreadsOf(const char* variable) {
    const char* path = std::getenv(variable);
    if (path == nullptr || *path == '\0') {
        return;
    }
    std::ofstream threads(path);
    threads << ::gettid() << std::endl;
    if (!threads) {
        throw std::runtime_error(std::string("cannot move a thread into ") + path);
    }
}

}  // namespace

void BecomeWindowThread() {
    PinThisThread(0);
    JoinThreadsOf("UDPPHONE_BENCH_GUI_THREADS");
}

void BecomePeerThread() {
    ::pthread_setname_np(::pthread_self(), "bench-peer");
    PinThisThread(1);
    JoinThreadsOf("UDPPHONE_BENCH_OTHER_THREADS");
}

namespace {

double ClockSeconds(clockid_t clock) {
    timespec value{};
    ::clock_gettime(clock, &value);
    return static_cast<double>(value.tv_sec) + static_cast<double>(value.tv_nsec) * 1e-9;
}

std::string ProcPath(pid_t pid, const char* leaf) {
    return "/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid)) + "/" + leaf;
}

}  // namespace

double ProcessCpuSeconds() {
    return ClockSeconds(CLOCK_PROCESS_CPUTIME_ID);
}

double ThreadCpuSeconds(pthread_t thread) {
    clockid_t clock{};
    if (::pthread_getcpuclockid(thread, &clock) != 0) {
        return -1;
    }
    return ClockSeconds(clock);
}

double ProcCpuSeconds(pid_t pid) {
    std::ifstream file(ProcPath(pid, "stat"));
    std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The command name may hold blanks; the fields after it are counted from its closing ")".
    auto close = content.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(content.substr(close + 2));
    std::string field;
    double utime = 0;
    double stime = 0;
    // Field 3 (state) is the first after ")"; utime and stime are fields 14 and 15.
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14) {
            utime = std::stod(field);
        } else if (number == 15) {
            stime = std::stod(field);
        }
    }
    return (utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double ThreadWaitSeconds() {
    std::ifstream file("/proc/thread-self/schedstat");
    double running = 0;
    double waiting = -1;
    file >> running >> waiting;
    return waiting * 1e-9;
}

std::int64_t ResidentBytes(pid_t pid) {
    std::ifstream file(ProcPath(pid, "statm"));
    std::int64_t size = 0;
    std::int64_t resident = -1;
    file >> size >> resident;
    return resident < 0 ? -1 : resident * ::sysconf(_SC_PAGESIZE);
}

std::int64_t SocketDrops(std::uint16_t localPort) {
    std::ifstream file("/proc/net/udp");
    std::string line;
    std::getline(file, line);  // header
    std::int64_t drops = 0;
    bool found = false;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::vector<std::string> columns;
        for (std::string column; fields >> column;) {
            columns.push_back(column);
        }
        if (columns.size() < 13) {
            continue;
        }
        const std::string& local = columns[1];
        auto colon = local.find(':');
        if (colon == std::string::npos ||
            std::stoul(local.substr(colon + 1), nullptr, 16) != localPort) {
            continue;
        }
        drops += std::stoll(columns.back());
        found = true;
    }
    return found ? drops : -1;
}

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return NAN;
    }
    std::sort(values.begin(), values.end());
    // Nearest rank: the smallest value with at least `fraction` of the values at or below it.
    auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

sockaddr_in LoopbackAddress(const std::string& address, std::uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &result.sin_addr) != 1 ||
        (ntohl(result.sin_addr.s_addr) >> 24) != 127) {
        throw std::invalid_argument("benchmarks use loopback only, not " + address);
    }
    return result;
}

int LoopbackSocket(const std::string& address, std::uint16_t port, int receiveBuffer) {
    sockaddr_in local = LoopbackAddress(address, port);
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        throw std::runtime_error("cannot bind " + address + ": " + std::strerror(errno));
    }
    if (receiveBuffer > 0 &&
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBuffer, sizeof receiveBuffer) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    return fd;
}

std::uint16_t LocalPort(int fd) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

PacedSending SendPaced(int fd, const sockaddr_in& to, std::uint64_t count, double rate,
                       std::size_t size,
                       const std::function<void(std::uint8_t*, std::uint64_t)>& fill,
                       const std::function<void()>& idle, const std::atomic<bool>* stop) {
    // Everything due is sent with one call, so that the sender's own system calls do not limit
    // the rates it can reach; datagram i is never sent before start + i / rate.
    constexpr std::size_t kBatch = 64;
    std::vector<std::uint8_t> buffers(size * kBatch);
    std::vector<iovec> vectors(kBatch);
    std::vector<mmsghdr> messages(kBatch);
    for (std::size_t k = 0; k < kBatch; ++k) {
        vectors[k] = {buffers.data() + k * size, size};
        messages[k] = {};
        messages[k].msg_hdr.msg_name = const_cast<sockaddr_in*>(&to);
        messages[k].msg_hdr.msg_namelen = sizeof to;
        messages[k].msg_hdr.msg_iov = &vectors[k];
        messages[k].msg_hdr.msg_iovlen = 1;
    }
    const double start = Now();
    std::uint64_t sent = 0;
    while (sent < count && (stop == nullptr || !*stop)) {
        const double now = Now();
        const auto due =
            std::min<std::uint64_t>(count, static_cast<std::uint64_t>((now - start) * rate) + 1);
        if (due <= sent) {
            if (idle) {
                idle();
            }
            continue;
        }
        const auto batch = static_cast<unsigned>(std::min<std::uint64_t>(kBatch, due - sent));
        for (unsigned k = 0; k < batch; ++k) {
            fill(buffers.data() + k * size, sent + k);
        }
        unsigned done = 0;
        while (done < batch) {
            int n = ::sendmmsg(fd, messages.data() + done, batch - done, 0);
            if (n < 0) {
                if (errno != EINTR && errno != EAGAIN && errno != ENOBUFS) {
                    throw std::runtime_error(std::string("send failed: ") + std::strerror(errno));
                }
                continue;
            }
            done += static_cast<unsigned>(n);
        }
        sent += batch;
    }
    return {sent, Now() - start};
}

RateSearch SearchRates(const std::vector<double>& rates,
                       const std::function<StepOutcome(double rate)>& step) {
    RateSearch search;
    for (double rate : rates) {
        StepOutcome outcome = step(rate);
        if (!outcome.passed && !outcome.senderLimited) {
            std::cerr << "  (again, to rule out a disturbance)\n";
            outcome = step(rate);
        }
        if (outcome.senderLimited) {
            search.senderLimited = true;
            search.firstFailed = rate;
            search.failedNote = outcome.note;
            break;
        }
        if (!outcome.passed) {
            search.firstFailed = rate;
            search.failedNote = outcome.note;
            break;
        }
        search.highestPassed = rate;
        search.passedNote = outcome.note;
    }
    return search;
}

void CountingBoxes::ShowErrorBox(const std::string& title, const std::string& text) {
    ++shown;
    std::cerr << "bench: the program reported an error (" << title << "): " << text << '\n';
}

void CountingBoxes::ShowFatalBox(const std::string& title, const std::string& text) {
    ++shown;
    std::cerr << "bench: fatal report (" << title << "): " << text << '\n';
}

namespace {

CountingBoxes* installedBoxes = nullptr;
DispatchObserver* dispatchObserver = nullptr;

class ObservedApplication final : public QApplication {
  public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override {
        DispatchObserver* observer = dispatchObserver;
        if (observer == nullptr) {
            return QApplication::notify(receiver, event);
        }
        const int depth = depth_++;
        observer->Begin(receiver, event, depth);
        const bool result = QApplication::notify(receiver, event);
        --depth_;
        // The observer may have gone inside the event; the one that saw it begin sees it end.
        if (dispatchObserver == observer) {
            observer->End(depth);
        }
        return result;
    }

  private:
    int depth_ = 0;
};

}  // namespace

void ObserveDispatches(DispatchObserver* observer) {
    dispatchObserver = observer;
}

OffscreenApplication::OffscreenApplication()
    : arguments_{shell::ExecutablePath(), "-platform", "offscreen"} {
    BecomeWindowThread();
    shell::OpenStandardDescriptors();
    shell::IgnoreWriteSignals();
    shell::ReturnLargeBlocksWhenFreed();
    for (std::string& argument : arguments_) {
        argv_.push_back(argument.data());
    }
    argv_.push_back(nullptr);
    argc_ = static_cast<int>(arguments_.size());
    application_ = std::make_unique<ObservedApplication>(argc_, argv_.data());
    if (installedBoxes == nullptr) {
        installedBoxes = new CountingBoxes;  // the seam keeps it for the life of the process
        shell::InstallReportBoxes(*installedBoxes);
    }
}

OffscreenApplication::~OffscreenApplication() = default;

int OffscreenApplication::BoxesShown() const {
    return installedBoxes->shown;
}

FormDescription BenchForm1(const std::string& eIP, std::uint16_t peerPort) {
    FormDescription description = StoredForm1();
    description.Component("eIP").Set("Text", eIP);
    description.Component("ePort").Set("Text", std::to_string(peerPort));
    description.Component("UDPSock").Set("LocalPort", std::int64_t{0});
    description.Component("UDPSock").Set("RemotePort", std::int64_t{peerPort});
    return description;
}

TickObserver::TickObserver() {
    ticks_.reserve(1 << 16);
    QCoreApplication::instance()->installEventFilter(this);
}

TickObserver::~TickObserver() {
    if (QCoreApplication::instance() != nullptr) {
        QCoreApplication::instance()->removeEventFilter(this);
    }
}

bool TickObserver::eventFilter(QObject* watched, QEvent* event) {
    // Only the timer's notification object receives timer events of a NotifyWindow.
    if (event->type() == QEvent::Timer && dynamic_cast<shell::NotifyWindow*>(watched) != nullptr) {
        ticks_.push_back(Now());
    }
    return false;
}

double TickObserver::LargestGap(double from, double to) const {
    double largest = 0;
    double previous = -1;
    for (double tick : ticks_) {
        if (previous >= 0 && tick >= from && previous <= to) {
            largest = std::max(largest, tick - previous);
        }
        previous = tick;
    }
    // A wait with no tick after its last one so far counts up to its end.
    if (previous >= 0 && previous < to) {
        largest = std::max(largest, to - std::max(previous, from));
    }
    return largest;
}

void RunUntil(const std::function<bool()>& done, int pollMs) {
    if (done()) {
        return;
    }
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (done()) {
            QCoreApplication::exit(0);
        }
    });
    poll.start(pollMs);
    QApplication::exec();
}

void Put(const std::string& name, double value) {
    std::printf("%s=%.9g\n", name.c_str(), value);
    std::fflush(stdout);
}

void Put(const std::string& name, const std::string& value) {
    std::printf("%s=%s\n", name.c_str(), value.c_str());
    std::fflush(stdout);
}

std::map<std::string, std::string> RunChild(const std::vector<std::string>& arguments) {
    const std::string self = shell::ExecutablePath();
    std::vector<std::string> all{self};
    all.insert(all.end(), arguments.begin(), arguments.end());
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
    pid_t pid = 0;
    int spawned = ::posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        throw std::runtime_error("cannot start " + self);
    }
    std::string output;
    char chunk[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], chunk, sizeof chunk)) != 0;) {
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            break;
        }
        output.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);

    std::map<std::string, std::string> results;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        auto equals = line.find('=');
        if (equals != std::string::npos) {
            results[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    results["exit_status"] = std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return results;
}

double Number(const std::map<std::string, std::string>& results, const std::string& name,
              double fallback) {
    auto found = results.find(name);
    if (found == results.end()) {
        return fallback;
    }
    try {
        return std::stod(found->second);
    } catch (const std::exception&) {
        return fallback;
    }
}

void Row(const std::string& figure, const std::string& value, const std::string& target,
         const std::string& baseline, const std::string& verdict) {
    std::printf("ROW\t%s\t%s\t%s\t%s\t%s\n", figure.c_str(), value.c_str(), target.c_str(),
                baseline.empty() ? "-" : baseline.c_str(), verdict.c_str());
    std::fflush(stdout);
}

std::string Format(double value, int decimals) {
    if (std::isnan(value)) {
        return "n/a";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    // Thousands separators for the integer part.
    const std::string digits = text;
    const std::size_t begin = digits[0] == '-' ? 1 : 0;
    const std::size_t point = std::min(digits.find('.'), digits.size());
    std::string result = digits.substr(0, begin);
    for (std::size_t i = begin; i < point; ++i) {
        result += digits[i];
        if ((point - i - 1) % 3 == 0 && i + 1 < point) {
            result += ',';
        }
    }
    result += digits.substr(point);
    return result;
}

std::string Verdict(bool met) {
    return met ? "met" : "MISSED";
}

std::string ExecutableDirectoryPath() {
    return shell::ExecutableDirectory();
}

}  // namespace bench
