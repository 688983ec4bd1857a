#include "peer/session/Signals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace peer {

SignalWatch::SignalWatch() {
    sigset_t set;
    ::sigemptyset(&set);
    ::sigaddset(&set, SIGINT);
    ::sigaddset(&set, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &set, nullptr);
    fd_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

SignalWatch::~SignalWatch() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool SignalWatch::Caught() {
    signalfd_siginfo info{};
    while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        caught_ = true;
    }
    return caught_;
}

}  // namespace peer
