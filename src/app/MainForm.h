#pragma once
// TForm1, the one main window: its controls and components, built from a stored description, and
// the event handlers that carry the phone endpoint's logic.

#include <QMargins>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "app/FormDescription.h"
#include "phone/CallRules.h"
#include "phone/PhoneDatagram.h"
#include "shell/PaintPacing.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class TNMUDP;
class TTimer;

inline constexpr std::int32_t ModeIdle = phone::ModeIdle;
inline constexpr std::int32_t ModeCalling = phone::ModeCalling;
inline constexpr std::int32_t ModeTalking = phone::ModeTalking;

class TForm1 : public QWidget {
  public:
    // Builds the window from `description`. Errors raised while a stored property is applied
    // arrive wrapped in EReadError; FormCreate runs last, under the recoverable report.
    explicit TForm1(const FormDescription& description = StoredForm1());
    ~TForm1() override;

    // Controls and components, in declaration order. The window owns them all.
    QLineEdit* eIP = nullptr;
    QLineEdit* ePort = nullptr;
    QPushButton* bRing = nullptr;
    QPushButton* bTalk = nullptr;
    QPushButton* bDiscon = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    std::unique_ptr<TNMUDP> UDPSock;
    std::unique_ptr<TTimer> Timer1;
    QCheckBox* hook = nullptr;
    QLineEdit* eFile = nullptr;
    QPushButton* bOpen = nullptr;
    QLineEdit* eTarget = nullptr;
    QLabel* LRecv = nullptr;
    QLabel* LSend = nullptr;
    QLabel* LMode = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;

    // Event handlers.
    void UDPSockDataReceived(TNMUDP& Sender, std::int32_t NumberBytes, const std::string& FromIP,
                             std::int32_t Port);
    void Timer1Timer(TTimer& Sender);
    void bOpenClick(QObject* Sender);
    void bRingClick(QObject* Sender);
    void bTalkClick(QObject* Sender);
    void bDisconClick(QObject* Sender);
    void FormCreate(QObject* Sender);

    // Call state, zero until FormCreate gives it its starting values.
    std::int32_t CallMode = 0;
    std::int32_t NextSeq = 0;
    // Voice files: a handle counts as open only when greater than 0; -1 is a failed open.
    int SendFile = 0;
    int RecvFile = 0;

    // The focusable controls in tab order.
    const std::vector<QWidget*>& TabOrder() const { return tabOrder_; }

  protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

  private:
    class Loader;

    void SendRequest(std::int32_t newMode, phone::Command command);
    void ReceiveVoice(std::span<const std::uint8_t, phone::kReceiveBufferSize> buffer);
    void FitOuterSize();
    QMargins FrameMargins() const;

    std::vector<QWidget*> controls_;
    std::vector<QWidget*> tabOrder_;
    std::function<void()> onCreate_;
    int outerWidth_ = 0;
    int outerHeight_ = 0;
    int minimumClientWidth_ = 0;
    int minimumClientHeight_ = 0;
    QMargins fittedMargins_;
    bool closeDeferred_ = false;
    shell::PaintPacing paintPacing_;
};
