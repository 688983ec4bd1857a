#include "shell/MessageBoxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QWidget>

#include "shell/QtText.h"

namespace shell {
namespace {

void ShowModalBox(const std::string& title, const std::string& text) {
    QMessageBox box(QMessageBox::Critical, ToQString(title), ToQString(text), QMessageBox::Ok);
    // Messages carry field texts that anyone may have typed or sent: never read them as markup.
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

}  // namespace

void MessageBoxes::ShowErrorBox(const std::string& title, const std::string& text) {
    // A button held down when the error struck must not stay half pressed behind the box.
    if (QWidget* grabber = QWidget::mouseGrabber()) {
        grabber->releaseMouse();
        if (auto* button = qobject_cast<QAbstractButton*>(grabber)) {
            button->setDown(false);
        }
    }
    QPointer<QWidget> previouslyActive = QApplication::activeWindow();
    ShowModalBox(title, text);
    if (previouslyActive) {
        previouslyActive->activateWindow();
    }
}

void MessageBoxes::ShowFatalBox(const std::string& title, const std::string& text) {
    ShowModalBox(title, text);
}

}  // namespace shell
