// What a screen reader or a desktop test tool finds in the window: every control reachable by a
// name, with a description, read through Qt's accessibility interface.

#include <QAccessible>
#include <QImage>
#include <set>

#include "support/PhoneCalls.h"

using namespace testsupport;

namespace {

QString Text(QWidget* control, QAccessible::Text kind) {
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
    return accessible != nullptr ? accessible->text(kind) : QStringLiteral("<not accessible>");
}

using AccessibilityTest = PeerCallTest;

}  // namespace

TEST_F(AccessibilityTest, UncaptionedFieldsAreNamedCaptionedOnesByTheirCaptionAllDescribed) {
    const std::pair<QWidget*, const char*> expected[] = {
        {window->eIP, "Peer address"}, {window->ePort, "Peer port"},
        {window->eTarget, "Target"},   {window->eFile, "Voice file"},
        {window->Memo1, "Log"},        {window->bRing, "Ring"},
        {window->bTalk, "Talk"},       {window->bDiscon, "Disconnect"},
        {window->bOpen, "open"},       {window->hook, "hook"},
        {window->LRecv, "0"},          {window->LSend, "0"},
        {window->LMode, "LMode"},      {window->Label1, "R"},
        {window->Label2, "S"},         {window.get(), "Form1"},
    };
    std::set<QString> descriptions;
    for (const auto& [control, name] : expected) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Text(control, QAccessible::Name), name);
        const QString description = Text(control, QAccessible::Description);
        EXPECT_FALSE(description.isEmpty());
        EXPECT_TRUE(descriptions.insert(description).second) << description.toStdString();
    }
}

// Offscreen, Qt 6 cannot be switched to active accessibility through its public interface, so no
// change events reach a test; the names are read after each change instead.
TEST_F(AccessibilityTest, CaptionedNamesFollowTheirCaptions) {
    window->bRing->click();  // calling: the next tick shows mode 6
    EXPECT_TRUE(WaitFor([&] { return Text(window->LMode, QAccessible::Name) == "6"; }));
    controls::SetCaption(window->bOpen, "open ok");
    EXPECT_EQ(Text(window->bOpen, QAccessible::Name), "open ok");
    Deliver(Zelk({1, 1, 10, 0, 3}, {1, 2, 3}, 416));
    EXPECT_TRUE(WaitFor([&] { return Text(window->LRecv, QAccessible::Name) == "1"; }));
}

TEST(AccessibilityDrawing, NamesAndDescriptionsChangeNothingDrawn) {
    FormDescription bare = LoopbackForm1();
    const auto accessible = [](const StoredProperty& p) {
        return p.name.starts_with("Accessible");
    };
    std::erase_if(bare.form.properties, accessible);
    for (StoredComponent& component : bare.components) {
        std::erase_if(component.properties, accessible);
    }
    TForm1 described(LoopbackForm1());
    TForm1 plain(bare);
    EXPECT_TRUE(plain.accessibleDescription().isEmpty());
    EXPECT_TRUE(plain.eIP->accessibleName().isEmpty());
    EXPECT_EQ(described.grab().toImage(), plain.grab().toImage());
}
