#include "peer/session/Signals.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "peer/Clock.h"

namespace peer {

SignalWatch::SignalWatch() {
    sigset_t set;
    ::sigemptyset(&set);
    ::sigaddset(&set, SIGINT);
    ::sigaddset(&set, SIGTERM);
    ::sigaddset(&set, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &set, nullptr);
    fd_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    ::signal(SIGPIPE, SIG_IGN);
}

SignalWatch::~SignalWatch() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool SignalWatch::Caught() {
    signalfd_siginfo info{};
    while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (!caught_) {
            caught_ = true;
            caughtAt_ = MonotonicSeconds();
        }
    }
    return caught_;
}

bool SignalWatch::Wait(double seconds, int fd, short events) {
    if (Caught()) {
        return true;
    }
    pollfd watched[] = {{fd_, POLLIN, 0}, {fd, events, 0}};
    const timespec timeout = ToTimespec(seconds);
    ::ppoll(watched, fd >= 0 ? 2 : 1, &timeout, nullptr);
    return Caught();
}

}  // namespace peer
