#include <QApplication>
#include <QFontInfo>
#include <QKeyEvent>
#include <QPointer>
#include <QScrollBar>

#include "shell/ApplicationTitle.h"
#include "shell/Exceptions.h"
#include "shell/Timer.h"
#include "support/PhoneCalls.h"

using namespace testsupport;

namespace {

// Width and height 0: a label, sized to its caption.
const struct {
    const char* name;
    const char* qtClass;
    QRect geometry;
    const char* text;
} kLayout[] = {
    {"LRecv", "QLabel", {168, 152, 0, 0}, "0"},
    {"LSend", "QLabel", {216, 152, 0, 0}, "0"},
    {"LMode", "QLabel", {200, 88, 0, 0}, "LMode"},
    {"Label1", "QLabel", {152, 152, 0, 0}, "R"},
    {"Label2", "QLabel", {200, 152, 0, 0}, "S"},
    {"eIP", "QLineEdit", {8, 8, 121, 20}, "127.0.0.1"},
    {"ePort", "QLineEdit", {144, 8, 57, 20}, "20080"},
    {"bRing", "QPushButton", {8, 40, 75, 25}, "Ring"},
    {"bTalk", "QPushButton", {88, 40, 75, 25}, "Talk"},
    {"bDiscon", "QPushButton", {168, 40, 75, 25}, "Disconnect"},
    {"Memo1", "QPlainTextEdit", {8, 168, 233, 89}, "Memo1"},
    {"hook", "QCheckBox", {8, 80, 97, 17}, "hook"},
    {"eFile", "QLineEdit", {8, 120, 121, 20}, "send.au"},
    {"bOpen", "QPushButton", {168, 120, 75, 25}, "open"},
    {"eTarget", "QLineEdit", {128, 80, 57, 20}, "1"},
};

QSize CaptionSize(const QLabel* label) {
    return label->fontMetrics().size(0, label->text());
}

std::vector<QRect> Geometries(const QWidget& window) {
    std::vector<QRect> result;
    for (QWidget* control : window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        result.push_back(control->geometry());
    }
    return result;
}

class MainFormTest : public ::testing::Test {
  protected:
    std::unique_ptr<TForm1> window = MakeWindow();
};

}  // namespace

TEST_F(MainFormTest, ControlsFollowTheStoredLayoutAndTabOrder) {
    EXPECT_EQ(window->CallMode, ModeIdle);  // both 0 until FormCreate has run
    EXPECT_EQ(window->NextSeq, 1);
    EXPECT_EQ(window->windowTitle(), "Form1");
    EXPECT_EQ(window->windowIconText().toStdString(), shell::ApplicationTitle());
    for (const auto& row : kLayout) {
        SCOPED_TRACE(row.name);
        auto* control = window->findChild<QWidget*>(row.name, Qt::FindDirectChildrenOnly);
        ASSERT_NE(control, nullptr);
        EXPECT_STREQ(control->metaObject()->className(), row.qtClass);
        auto* label = qobject_cast<QLabel*>(control);
        EXPECT_EQ(control->geometry(),
                  label ? QRect(row.geometry.topLeft(), CaptionSize(label)) : row.geometry);
        const char* content = row.qtClass == std::string("QPlainTextEdit") ? "plainText" : "text";
        EXPECT_EQ(control->property(content).toString(), row.text);
        EXPECT_EQ(QFontInfo(control->font()).family(), "IPAPGothic");
        EXPECT_EQ(QFontInfo(control->font()).pixelSize(), 12);
    }
    EXPECT_FALSE(window->hook->isChecked());
    EXPECT_FALSE(window->bRing->isDefault() || window->bRing->autoDefault());
    EXPECT_FALSE(window->Memo1->isReadOnly());
    EXPECT_EQ(window->Memo1->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    EXPECT_EQ(window->Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

    controls::SetCaption(window->LRecv, "1234567");
    EXPECT_EQ(window->LRecv->size(), CaptionSize(window->LRecv));
    EXPECT_GT(window->LRecv->width(), 3 * window->Label1->width());
    const std::string longText(100000, '7');
    controls::SetText(window->eTarget, longText);
    EXPECT_EQ(controls::Text(window->eTarget), longText);

    // Shown in place, with the focus on eIP and Tab going round the controls.
    window->show();
    ASSERT_TRUE(WaitFor([&] { return window->isActiveWindow(); }));
    EXPECT_EQ(window->frameGeometry(), QRect(192, 114, 257, 299));
    for (const QRect& control : Geometries(*window)) {
        EXPECT_TRUE(window->rect().contains(control));
    }
    EXPECT_EQ(QApplication::focusWidget(), window->eIP);
    for (QWidget* next : std::vector<QWidget*>{
             window->ePort, window->bRing, window->bTalk, window->bDiscon, window->Memo1,
             window->hook, window->eFile, window->bOpen, window->eTarget, window->eIP}) {
        QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier, QStringLiteral("\t"));
        QApplication::sendEvent(QApplication::focusWidget(), &tab);
        ASSERT_EQ(QApplication::focusWidget(), next) << next->objectName().toStdString();
    }
    EXPECT_EQ(window->Memo1->toPlainText(), "Memo1");  // Tab left the memo, nothing typed

    const std::vector<QRect> before = Geometries(*window);
    window->resize(500, 600);
    window->resize(150, 120);
    EXPECT_EQ(Geometries(*window), before);
}

TEST_F(MainFormTest, MemoInsertsAtTheTopWithoutUndoAndMakesRoomAtItsLimit) {
    QPlainTextEdit* memo = window->Memo1;
    memo->moveCursor(QTextCursor::End);
    memo->insertPlainText(" typed");
    ASSERT_TRUE(memo->document()->isUndoAvailable());
    controls::InsertLineAtTop(memo, "Read: first");
    controls::InsertLineAtTop(memo, "Send: ラ");
    EXPECT_EQ(memo->textCursor().position(), QString("Send: ラ\n").size());
    EXPECT_FALSE(memo->document()->isUndoAvailable());
    memo->undo();
    EXPECT_EQ(memo->toPlainText(), "Send: ラ\nRead: first\nMemo1 typed");

    // Scrolled away to the oldest lines, an insertion brings the new line into view.
    window->show();
    for (int i = 0; i < 200; ++i) {
        controls::InsertLineAtTop(memo, "line " + std::to_string(i));
    }
    memo->verticalScrollBar()->setValue(memo->verticalScrollBar()->maximum());
    controls::InsertLineAtTop(memo, "newest");
    EXPECT_EQ(memo->verticalScrollBar()->value(), 0);
    EXPECT_TRUE(memo->viewport()->rect().contains(memo->cursorRect()));

    const QString filler =
        QString(99, QLatin1Char('x')).append('\n').repeated(controls::kMemoMaxCharacters / 100 - 1);
    memo->setPlainText(filler.leftJustified(controls::kMemoMaxCharacters - 6, QLatin1Char('y')));
    controls::InsertLineAtTop(memo, "abcde");  // six characters with its line break: fits exactly
    EXPECT_EQ(memo->toPlainText().size(), controls::kMemoMaxCharacters);
    controls::InsertLineAtTop(memo, "vwxyz");  // the program's oldest line makes room
    EXPECT_EQ(memo->toPlainText().size(), controls::kMemoMaxCharacters);
    EXPECT_TRUE(memo->toPlainText().startsWith("vwxyz\nxxx"));
    // Text the program did not write is never removed: with nothing of its own left, a line that
    // would pass the limit is dropped whole.
    memo->setPlainText(filler.leftJustified(controls::kMemoMaxCharacters, QLatin1Char('y')));
    controls::InsertLineAtTop(memo, "");
    EXPECT_EQ(memo->toPlainText().size(), controls::kMemoMaxCharacters);
    EXPECT_TRUE(memo->toPlainText().startsWith("xxx"));
}

TEST(MainFormBuild, ErrorsWhileApplyingAPropertyNameComponentAndProperty) {
    const std::pair<std::function<void(FormDescription&)>, std::string> cases[] = {
        {[](auto& d) { d.Component("Timer1").Set("Interval", std::int64_t{0x80000000}); },
         "EReadError:Timer1.OnTimer の読み込み中のエラー : タイマーを取得できません"},
        {[](auto& d) { d.Component("eIP").Set("MaxLength", std::int64_t{5}); },
         "EReadError:eIP.MaxLength の読み込み中のエラー : Property MaxLength does not exist"},
        {[](auto& d) { d.form.Set("Caption", std::int64_t{1}); },
         "EReadError:Form1.Caption の読み込み中のエラー : Invalid property value"},
        {[](auto& d) {
             d.Component("hook").name.clear();
             d.Component("").Set("Text", std::string("x"));
         },
         "EReadError:TCheckBox.Text の読み込み中のエラー : Property Text does not exist"},
        // Creating a component is not applying a property: no wrapping.
        {[](auto& d) { d.Component("bOpen").className = "TBitBtn"; },
         "Exception:Class TBitBtn not found"},
    };
    for (const auto& [vary, expected] : cases) {
        FormDescription description = LoopbackForm1();
        vary(description);
        try {
            TForm1 failed(description);
            ADD_FAILURE() << "built without error: " << expected;
        } catch (const Exception& error) {
            EXPECT_EQ(error.ClassName() + (":" + error.Message()), expected);
        }
    }
}

TEST(MainFormBuild, TeardownTakesControlsThenTimerThenSocket) {
    auto window = MakeWindow();
    const std::uint16_t port = BoundPort(*window);
    bool controlsGone = false, socketThere = false;
    struct ProbeTimer : TTimer {
        std::function<void()> onDestroy;
        ~ProbeTimer() override { onDestroy(); }
    };
    auto probe = std::make_unique<ProbeTimer>();
    probe->onDestroy = [&, field = QPointer<QLineEdit>(window->eIP), form = window.get()] {
        controlsGone = field.isNull();
        socketThere = form->UDPSock != nullptr;
    };
    window->Timer1 = std::move(probe);
    window.reset();
    EXPECT_TRUE(controlsGone);
    EXPECT_TRUE(socketThere);
    EXPECT_NO_THROW(UdpPeer("127.0.0.1", port));  // closed with the window
}

// Paints give way to ticks and come at most every few milliseconds, yet every change is painted,
// also where the window's timer leaves no room between its ticks.
TEST(MainFormPaint, EveryChangeIsPaintedWhateverTheTimer) {
    for (const std::uint32_t interval : {47u, 1u}) {
        SCOPED_TRACE(interval);
        auto window = MakeWindow();
        window->Timer1->SetInterval(interval);
        window->show();
        int paints = 0;
        struct PaintCount final : QObject {
            int& paints;
            explicit PaintCount(int& count) : paints(count) {}
            bool eventFilter(QObject*, QEvent* event) override {
                paints += event->type() == QEvent::Paint ? 1 : 0;
                return false;
            }
        } count(paints);
        window->LMode->installEventFilter(&count);
        for (int change = 1; change <= 3; ++change) {
            const int before = paints;
            controls::SetCaption(window->LMode, std::to_string(change));
            ASSERT_TRUE(WaitFor([&] { return paints > before; }, 2s));
        }
    }
}
