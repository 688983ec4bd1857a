// Building TForm1 from its stored description, and tearing it down in order.

#include "app/MainForm.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QWindow>
#include <algorithm>
#include <climits>
#include <map>

#include "app/Controls.h"
#include "net/NMUDP.h"
#include "shell/ApplicationTitle.h"
#include "shell/Exceptions.h"
#include "shell/Guard.h"
#include "shell/MessageLoop.h"
#include "shell/QtText.h"
#include "shell/Timer.h"

namespace {

// The face the layout names does not exist here; this one has the same metrics.
constexpr const char* kSubstituteFace = "IPAPGothic";

// Space kept right of and below the outermost controls when the window manager's frame leaves
// less room than the stored outer size promises.
constexpr int kClientMargin = 6;

std::int64_t AsInteger(const StoredValue& value) {
    if (const auto* integer = std::get_if<std::int64_t>(&value)) {
        return *integer;
    }
    throw Exception("Invalid property value");
}

std::int32_t AsInt32(const StoredValue& value) {
    std::int64_t integer = AsInteger(value);
    if (integer < INT32_MIN || integer > INT32_MAX) {
        throw Exception("Invalid property value");
    }
    return static_cast<std::int32_t>(integer);
}

const std::string& AsText(const StoredValue& value) {
    if (const auto* text = std::get_if<std::string>(&value)) {
        return *text;
    }
    throw Exception("Invalid property value");
}

const std::string& AsHandler(const StoredValue& value) {
    if (const auto* handler = std::get_if<HandlerName>(&value)) {
        return handler->name;
    }
    throw Exception("Invalid property value");
}

[[noreturn]] void NoSuchProperty(const std::string& property) {
    throw Exception("Property " + property + " does not exist");
}

}  // namespace

// Applies a description to a window under construction, one property at a time, wrapping what
// goes wrong in EReadError with the component's and the property's name.
class TForm1::Loader {
  public:
    explicit Loader(TForm1& form) : form_(form) {}

    void Load(const FormDescription& description) {
        for (const StoredProperty& property : description.form.properties) {
            Apply(description.form, property, [&] { ApplyFormProperty(property); });
        }
        for (const StoredComponent& component : description.components) {
            LoadComponent(component);
        }
        ArrangeTabOrder();
        CheckEveryFieldIsSet();
        if (form_.UDPSock) {
            form_.UDPSock->Loaded();
        }
        form_.FitOuterSize();
    }

  private:
    template <class Step>
    void Apply(const StoredComponent& component, const StoredProperty& property, Step&& step) {
        // A component without a name is named by its class.
        const std::string& name = component.name.empty() ? component.className : component.name;
        try {
            step();
        } catch (const EReadError&) {
            throw;
        } catch (const Exception& error) {
            throw EReadError(name, property.name, error);
        } catch (const std::exception& error) {
            throw EReadError(name, property.name, Exception(error.what()));
        }
    }

    void ApplyFormProperty(const StoredProperty& property) {
        const std::string& name = property.name;
        const StoredValue& value = property.value;
        if (name == "Left") {
            left_ = AsInt32(value);
            form_.move(left_, top_);
        } else if (name == "Top") {
            top_ = AsInt32(value);
            form_.move(left_, top_);
        } else if (name == "Width") {
            form_.outerWidth_ = AsInt32(value);
        } else if (name == "Height") {
            form_.outerHeight_ = AsInt32(value);
        } else if (name == "Caption") {
            form_.setWindowTitle(shell::ToQString(AsText(value)));
        } else if (name == "Color" || name == "Font.Color") {
            // The system's button face and window text are Qt's default palette roles.
            const std::string& colour = AsText(value);
            if (colour != "clBtnFace" && colour != "clWindowText") {
                throw Exception("Invalid property value");
            }
        } else if (name.starts_with("Font.")) {
            ApplyFontProperty(name, value);
            // At once, so that every control created afterwards takes the window's font and a
            // label measures its caption in it.
            form_.setFont(font_);
        } else if (name == "AccessibleDescription") {
            form_.setAccessibleDescription(shell::ToQString(AsText(value)));
        } else if (name == "OnCreate") {
            form_.onCreate_ = HandlerFor(AsHandler(value));
        } else if (name == "PixelsPerInch" || name == "TextHeight") {
            // Qt scales logical pixels for the display's density itself.
            AsInt32(value);
        } else {
            NoSuchProperty(name);
        }
    }

    void ApplyFontProperty(const std::string& name, const StoredValue& value) {
        if (name == "Font.Charset") {
            AsText(value);  // texts are Unicode here; the character set has no further effect
        } else if (name == "Font.Height") {
            std::int32_t height = AsInt32(value);
            font_.setPixelSize(std::max(1, height < 0 ? -height : height));
        } else if (name == "Font.Name") {
            QString face = shell::ToQString(AsText(value));
            QFont::insertSubstitution(face, kSubstituteFace);
            font_.setFamily(face);
        } else if (name == "Font.Style") {
            if (!std::holds_alternative<std::vector<std::string>>(value)) {
                throw Exception("Invalid property value");
            }
            for (const std::string& style : std::get<std::vector<std::string>>(value)) {
                font_.setBold(font_.bold() || style == "fsBold");
                font_.setItalic(font_.italic() || style == "fsItalic");
                font_.setUnderline(font_.underline() || style == "fsUnderline");
            }
        } else {
            NoSuchProperty(name);
        }
    }

    void LoadComponent(const StoredComponent& component) {
        if (component.className == "TNMUDP") {
            form_.UDPSock = std::make_unique<TNMUDP>();
            for (const StoredProperty& property : component.properties) {
                Apply(component, property, [&] { ApplySocketProperty(property); });
            }
            return;
        }
        if (component.className == "TTimer") {
            form_.Timer1 = std::make_unique<TTimer>();
            for (const StoredProperty& property : component.properties) {
                Apply(component, property, [&] { ApplyTimerProperty(property); });
            }
            return;
        }
        QWidget* control = CreateControl(component);
        form_.controls_.push_back(control);
        QRect geometry;
        for (const StoredProperty& property : component.properties) {
            Apply(component, property, [&] { ApplyControlProperty(control, geometry, property); });
        }
        if (auto* label = qobject_cast<QLabel*>(control)) {
            label->adjustSize();  // labels size themselves to their caption
        }
    }

    QWidget* CreateControl(const StoredComponent& component) {
        const std::string& kind = component.className;
        QWidget* control = nullptr;
        if (kind == "TLabel") {
            auto* label = new QLabel(&form_);
            label->setTextFormat(Qt::PlainText);
            label->setMargin(0);
            label->setIndent(0);
            control = Bind(component.name, label);
        } else if (kind == "TEdit") {
            auto* edit = new QLineEdit(&form_);
            edit->setMaxLength(INT_MAX);  // no length limit, unlike Qt's default
            control = Bind(component.name, edit);
        } else if (kind == "TButton") {
            auto* button = new QPushButton(&form_);
            button->setAutoDefault(false);
            button->setDefault(false);
            control = Bind(component.name, button);
        } else if (kind == "TMemo") {
            auto* memo = new QPlainTextEdit(&form_);
            memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
            memo->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
            memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            memo->setTabChangesFocus(true);
            control = Bind(component.name, memo);
        } else if (kind == "TCheckBox") {
            control = Bind(component.name, new QCheckBox(&form_));
        } else {
            throw Exception("Class " + kind + " not found");
        }
        control->setObjectName(shell::ToQString(component.name));
        return control;
    }

    template <class Control>
    Control* Bind(const std::string& name, Control* control) {
        static const std::map<std::string, QLabel* TForm1::*> labels = {
            {"LRecv", &TForm1::LRecv},   {"LSend", &TForm1::LSend},   {"LMode", &TForm1::LMode},
            {"Label1", &TForm1::Label1}, {"Label2", &TForm1::Label2},
        };
        static const std::map<std::string, QLineEdit* TForm1::*> edits = {
            {"eIP", &TForm1::eIP},
            {"ePort", &TForm1::ePort},
            {"eFile", &TForm1::eFile},
            {"eTarget", &TForm1::eTarget},
        };
        static const std::map<std::string, QPushButton* TForm1::*> buttons = {
            {"bRing", &TForm1::bRing},
            {"bTalk", &TForm1::bTalk},
            {"bDiscon", &TForm1::bDiscon},
            {"bOpen", &TForm1::bOpen},
        };
        if constexpr (std::is_same_v<Control, QLabel>) {
            if (auto found = labels.find(name); found != labels.end()) {
                form_.*(found->second) = control;
            }
        } else if constexpr (std::is_same_v<Control, QLineEdit>) {
            if (auto found = edits.find(name); found != edits.end()) {
                form_.*(found->second) = control;
            }
        } else if constexpr (std::is_same_v<Control, QPushButton>) {
            if (auto found = buttons.find(name); found != buttons.end()) {
                form_.*(found->second) = control;
            }
        } else if constexpr (std::is_same_v<Control, QPlainTextEdit>) {
            if (name == "Memo1") {
                form_.Memo1 = control;
            }
        } else if constexpr (std::is_same_v<Control, QCheckBox>) {
            if (name == "hook") {
                form_.hook = control;
            }
        }
        return control;
    }

    void ApplyControlProperty(QWidget* control, QRect& geometry, const StoredProperty& property) {
        const std::string& name = property.name;
        const StoredValue& value = property.value;
        if (name == "Left") {
            geometry.moveLeft(AsInt32(value));
            control->setGeometry(geometry);
        } else if (name == "Top") {
            geometry.moveTop(AsInt32(value));
            control->setGeometry(geometry);
        } else if (name == "Width") {
            geometry.setWidth(AsInt32(value));
            control->setGeometry(geometry);
        } else if (name == "Height") {
            geometry.setHeight(AsInt32(value));
            control->setGeometry(geometry);
        } else if (name == "Caption") {
            if (auto* label = qobject_cast<QLabel*>(control)) {
                controls::SetCaption(label, AsText(value));
            } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
                controls::SetCaption(button, AsText(value));
            } else {
                NoSuchProperty(name);
            }
        } else if (name == "Text") {
            auto* edit = qobject_cast<QLineEdit*>(control);
            if (edit == nullptr) {
                NoSuchProperty(name);
            }
            controls::SetText(edit, AsText(value));
        } else if (name == "AccessibleName") {
            // Set only where no caption names the control: a set name would no longer follow it.
            control->setAccessibleName(shell::ToQString(AsText(value)));
        } else if (name == "AccessibleDescription") {
            control->setAccessibleDescription(shell::ToQString(AsText(value)));
        } else if (name == "TabOrder") {
            if (qobject_cast<QLabel*>(control) != nullptr) {
                NoSuchProperty(name);
            }
            tabOrders_.push_back({AsInt32(value), control});
        } else if (name == "OnClick") {
            auto* button = qobject_cast<QAbstractButton*>(control);
            if (button == nullptr) {
                NoSuchProperty(name);
            }
            auto handler = ClickHandlerFor(AsHandler(value), button);
            QObject::connect(button, &QAbstractButton::clicked,
                             [handler] { shell::Guarded(handler); });
        } else if (name == "Lines.Strings") {
            auto* memo = qobject_cast<QPlainTextEdit*>(control);
            if (memo == nullptr || !std::holds_alternative<std::vector<std::string>>(value)) {
                throw Exception("Invalid property value");
            }
            QStringList lines;
            for (const std::string& line : std::get<std::vector<std::string>>(value)) {
                lines << shell::ToQString(line);
            }
            memo->setPlainText(lines.join(QLatin1Char('\n')));
        } else if (name == "ScrollBars") {
            auto* memo = qobject_cast<QPlainTextEdit*>(control);
            if (memo == nullptr) {
                NoSuchProperty(name);
            }
            const std::string& bars = AsText(value);
            bool vertical = bars == "ssVertical" || bars == "ssBoth";
            memo->setVerticalScrollBarPolicy(vertical ? Qt::ScrollBarAlwaysOn
                                                      : Qt::ScrollBarAsNeeded);
        } else {
            NoSuchProperty(name);
        }
    }

    void ApplySocketProperty(const StoredProperty& property) {
        TNMUDP& socket = *form_.UDPSock;
        const std::string& name = property.name;
        if (name == "RemoteHost") {
            socket.RemoteHost = AsText(property.value);
        } else if (name == "RemotePort") {
            socket.RemotePort = AsInt32(property.value);
        } else if (name == "LocalPort") {
            socket.SetLocalPort(AsInt32(property.value));
        } else if (name == "ReportLevel") {
            socket.ReportLevel = AsInt32(property.value);
        } else if (name == "OnDataReceived") {
            if (AsHandler(property.value) != "UDPSockDataReceived") {
                throw Exception("Invalid property value");
            }
            TForm1* form = &form_;
            socket.OnDataReceived = [form](TNMUDP& sender, std::int32_t count,
                                           const std::string& fromIP, std::int32_t port) {
                form->UDPSockDataReceived(sender, count, fromIP, port);
            };
        } else {
            NoSuchProperty(name);
        }
    }

    void ApplyTimerProperty(const StoredProperty& property) {
        TTimer& timer = *form_.Timer1;
        const std::string& name = property.name;
        if (name == "Enabled") {
            if (!std::holds_alternative<bool>(property.value)) {
                throw Exception("Invalid property value");
            }
            timer.SetEnabled(std::get<bool>(property.value));
        } else if (name == "Interval") {
            std::int64_t interval = AsInteger(property.value);
            if (interval < 0 || interval > UINT32_MAX) {
                throw Exception("Invalid property value");
            }
            timer.SetInterval(static_cast<std::uint32_t>(interval));
        } else if (name == "OnTimer") {
            if (AsHandler(property.value) != "Timer1Timer") {
                throw Exception("Invalid property value");
            }
            TForm1* form = &form_;
            timer.SetOnTimer([form](TTimer& sender) { form->Timer1Timer(sender); });
        } else {
            NoSuchProperty(name);
        }
    }

    std::function<void()> HandlerFor(const std::string& handler) {
        if (handler == "FormCreate") {
            TForm1* form = &form_;
            return [form] { form->FormCreate(form); };
        }
        throw Exception("Invalid property value");
    }

    std::function<void()> ClickHandlerFor(const std::string& handler, QObject* sender) {
        static const std::map<std::string, void (TForm1::*)(QObject*)> clicks = {
            {"bRingClick", &TForm1::bRingClick},
            {"bTalkClick", &TForm1::bTalkClick},
            {"bDisconClick", &TForm1::bDisconClick},
            {"bOpenClick", &TForm1::bOpenClick},
        };
        auto found = clicks.find(handler);
        if (found == clicks.end()) {
            throw Exception("Invalid property value");
        }
        TForm1* form = &form_;
        auto method = found->second;
        return [form, method, sender] { (form->*method)(sender); };
    }

    void ArrangeTabOrder() {
        std::stable_sort(tabOrders_.begin(), tabOrders_.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& entry : tabOrders_) {
            form_.tabOrder_.push_back(entry.second);
        }
        for (std::size_t i = 1; i < form_.tabOrder_.size(); ++i) {
            QWidget::setTabOrder(form_.tabOrder_[i - 1], form_.tabOrder_[i]);
        }
        if (!form_.tabOrder_.empty()) {
            // The first control in tab order has the focus when the window first becomes active.
            form_.tabOrder_.front()->setFocus();
        }
        int right = 0;
        int bottom = 0;
        for (QWidget* control : form_.controls_) {
            right = std::max(right, control->geometry().right() + 1);
            bottom = std::max(bottom, control->geometry().bottom() + 1);
        }
        form_.minimumClientWidth_ = right + kClientMargin;
        form_.minimumClientHeight_ = bottom + kClientMargin;
    }

    void CheckEveryFieldIsSet() const {
        bool complete = form_.eIP && form_.ePort && form_.bRing && form_.bTalk && form_.bDiscon &&
                        form_.Memo1 && form_.UDPSock && form_.Timer1 && form_.hook && form_.eFile &&
                        form_.bOpen && form_.eTarget && form_.LRecv && form_.LSend && form_.LMode &&
                        form_.Label1 && form_.Label2;
        if (!complete) {
            throw Exception("The window description lacks one of TForm1's components");
        }
    }

    TForm1& form_;
    QFont font_;
    int left_ = 0;
    int top_ = 0;
    std::vector<std::pair<std::int32_t, QWidget*>> tabOrders_;
};

TForm1::TForm1(const FormDescription& description) {
    setWindowIconText(shell::ToQString(shell::ApplicationTitle()));
    Loader(*this).Load(description);
    if (onCreate_) {
        shell::Guarded(onCreate_);
    }
}

TForm1::~TForm1() {
    // Controls first, then the timer, then the socket: the reverse of how they depend on each
    // other, which Qt's own order of deleting children would not give.
    for (QWidget* control : controls_) {
        delete control;
    }
    controls_.clear();
    Timer1.reset();
    UDPSock.reset();
}

bool TForm1::event(QEvent* event) {
    // The window's paints leave the ticks their time.
    if (event->type() == QEvent::UpdateRequest) {
        return paintPacing_.Handle(this, [this, event] { return QWidget::event(event); });
    }
    return QWidget::event(event);
}

void TForm1::closeEvent(QCloseEvent* event) {
    // A send waiting for a host lookup must finish first; the close goes ahead after it.
    if (shell::WaitInProgress()) {
        event->ignore();
        if (!closeDeferred_) {
            closeDeferred_ = true;
            QPointer<TForm1> self(this);
            shell::DeferWhileWaiting([self] {
                if (self) {
                    self->closeDeferred_ = false;
                    self->close();
                }
            });
        }
        return;
    }
    event->accept();
}

QMargins TForm1::FrameMargins() const {
    return windowHandle() != nullptr ? windowHandle()->frameMargins() : QMargins();
}

void TForm1::FitOuterSize() {
    // Until the window manager has framed the window the margins read as zero, so the client
    // area first takes the whole stored outer size and shrinks once the frame is known.
    fittedMargins_ = FrameMargins();
    int width =
        std::max(outerWidth_ - fittedMargins_.left() - fittedMargins_.right(), minimumClientWidth_);
    int height = std::max(outerHeight_ - fittedMargins_.top() - fittedMargins_.bottom(),
                          minimumClientHeight_);
    resize(width, height);
}

void TForm1::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    // The frame becomes known some time after the window is shown; the operator's own resizing
    // never changes it, so only a new frame refits the size.
    if (FrameMargins() != fittedMargins_) {
        FitOuterSize();
    }
}
