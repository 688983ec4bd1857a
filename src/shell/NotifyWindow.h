#pragma once
// A hidden receiver of messages for one component: a message number with two parameters, handed
// on the GUI thread to the component's handler. Messages are handed over at once (Send), posted
// from any thread (through a MessagePoster), or produced by the object's own timers.

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace shell {

struct WindowMessage {
    std::uint32_t number = 0;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
};

// Timer expiries arrive under this number, with the timer's id as the word parameter.
inline constexpr std::uint32_t kTimerMessage = 275;

class NotifyWindow;

// Posts to a NotifyWindow from any thread. It outlives the window: once the window is gone, a
// post is dropped, so a worker that finishes late never touches a destroyed component.
class MessagePoster {
  public:
    bool Post(const WindowMessage& message);

  private:
    friend class NotifyWindow;
    std::mutex mutex_;
    NotifyWindow* window_ = nullptr;
};

class NotifyWindow final : public QObject {
  public:
    using Handler = std::function<void(const WindowMessage&)>;

    explicit NotifyWindow(Handler handler);
    ~NotifyWindow() override;

    // Hands the message to the handler now, under the dispatch guard. GUI thread only.
    void Send(const WindowMessage& message);

    std::shared_ptr<MessagePoster> Poster() const { return poster_; }

    // A precise periodic timer of this object; 0 when the system refuses it.
    int StartTimer(std::uint32_t milliseconds);
    void StopTimer(int id);
    // Whole milliseconds until the timer's next expiry, 0 once it is due; -1 for no such timer.
    int RemainingMilliseconds(int id) const;

  protected:
    bool event(QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

  private:
    Handler handler_;
    std::shared_ptr<MessagePoster> poster_;
};

}  // namespace shell
