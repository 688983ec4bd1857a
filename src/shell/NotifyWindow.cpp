#include "shell/NotifyWindow.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QTimerEvent>
#include <climits>

#include "shell/Guard.h"

namespace shell {
namespace {

const QEvent::Type kPostedMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class PostedMessage final : public QEvent {
  public:
    explicit PostedMessage(const WindowMessage& message)
        : QEvent(kPostedMessageEvent), message_(message) {}
    const WindowMessage& Message() const { return message_; }

  private:
    WindowMessage message_;
};

}  // namespace

bool MessagePoster::Post(const WindowMessage& message) {
    std::lock_guard lock(mutex_);
    if (window_ == nullptr) {
        return false;
    }
    QCoreApplication::postEvent(window_, new PostedMessage(message));
    return true;
}

NotifyWindow::NotifyWindow(Handler handler)
    : handler_(std::move(handler)), poster_(std::make_shared<MessagePoster>()) {
    std::lock_guard lock(poster_->mutex_);
    poster_->window_ = this;
}

NotifyWindow::~NotifyWindow() {
    // Posts already queued for this object are discarded by Qt when it is deleted.
    std::lock_guard lock(poster_->mutex_);
    poster_->window_ = nullptr;
}

void NotifyWindow::Send(const WindowMessage& message) {
    Guarded([&] {
        if (handler_) {
            handler_(message);
        }
    });
}

int NotifyWindow::StartTimer(std::uint32_t milliseconds) {
    if (milliseconds > static_cast<std::uint32_t>(INT_MAX)) {
        return 0;
    }
    return startTimer(static_cast<int>(milliseconds), Qt::PreciseTimer);
}

void NotifyWindow::StopTimer(int id) {
    if (id != 0) {
        killTimer(id);
    }
}

int NotifyWindow::RemainingMilliseconds(int id) const {
    auto* dispatcher = QAbstractEventDispatcher::instance(thread());
    return id != 0 && dispatcher != nullptr ? dispatcher->remainingTime(id) : -1;
}

bool NotifyWindow::event(QEvent* event) {
    if (event->type() == kPostedMessageEvent) {
        Send(static_cast<PostedMessage*>(event)->Message());
        return true;
    }
    return QObject::event(event);
}

void NotifyWindow::timerEvent(QTimerEvent* event) {
    Send({kTimerMessage, static_cast<std::uintptr_t>(event->timerId()), 0});
}

}  // namespace shell
