#include "shell/ProcessSetup.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <array>
#include <cerrno>
#include <csignal>

#include "shell/Guard.h"

namespace shell {
namespace {

constexpr std::array<int, 3> kQuitSignals = {SIGTERM, SIGHUP, SIGINT};

volatile std::sig_atomic_t signalWriteEnd = -1;

extern "C" void ForwardSignal(int signalNumber) {
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(signalNumber);
    if (signalWriteEnd >= 0) {
        [[maybe_unused]] auto written = ::write(signalWriteEnd, &byte, 1);
    }
    errno = saved;
}

class QuitSignals {
  public:
    explicit QuitSignals(std::function<void()> onQuit) : onQuit_(std::move(onQuit)) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends_) != 0) {
            ends_[0] = ends_[1] = -1;
            return;
        }
        signalWriteEnd = ends_[1];
        notifier_ = std::make_unique<QSocketNotifier>(ends_[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { Drain(); });
        struct sigaction action {};
        action.sa_handler = ForwardSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (std::size_t i = 0; i < kQuitSignals.size(); ++i) {
            ::sigaction(kQuitSignals[i], nullptr, &previous_[i]);
            // A signal ignored from the start (nohup, a background job) stays ignored.
            if (previous_[i].sa_handler != SIG_IGN) {
                ::sigaction(kQuitSignals[i], &action, nullptr);
            }
        }
    }

    ~QuitSignals() {
        if (ends_[0] < 0) {
            return;
        }
        for (std::size_t i = 0; i < kQuitSignals.size(); ++i) {
            ::sigaction(kQuitSignals[i], &previous_[i], nullptr);
        }
        signalWriteEnd = -1;
        notifier_.reset();
        for (int end : ends_) {
            if (end >= 0) {
                ::close(end);
            }
        }
    }

    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

  private:
    void Drain() {
        unsigned char bytes[64];
        bool any = false;
        while (::read(ends_[0], bytes, sizeof bytes) > 0) {
            any = true;
        }
        if (any) {
            Guarded(onQuit_);
        }
    }

    std::function<void()> onQuit_;
    std::array<struct sigaction, kQuitSignals.size()> previous_{};
    int ends_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace

void OpenStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // open() returns the lowest free descriptor, which is this one.
            int opened = ::open("/dev/null", O_RDWR);
            if (opened >= 0 && opened != fd) {
                ::close(opened);
            }
        }
    }
}

int MoveAboveZero(int fd) {
    if (fd != 0) {
        return fd;
    }
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (moved < 0) {
        return fd;
    }
    int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, 0);
        ::close(null);
    } else {
        ::close(0);
    }
    return moved;
}

void ReturnLargeBlocksWhenFreed() {
#ifdef __GLIBC__
    // A fixed threshold also stops glibc from raising it after each large block freed.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
}

void IgnoreWriteSignals() {
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
}

std::shared_ptr<void> InstallQuitSignals(std::function<void()> onQuit) {
    return std::make_shared<QuitSignals>(std::move(onQuit));
}

}  // namespace shell
