#include "app/Program.h"

#include <QApplication>
#include <QIcon>
#include <QPointer>
#include <memory>

#include "app/MainForm.h"
#include "shell/ApplicationIcon.h"
#include "shell/ApplicationTitle.h"
#include "shell/Exceptions.h"
#include "shell/MessageBoxes.h"
#include "shell/ProcessSetup.h"
#include "shell/Report.h"

namespace {

int RunWindow(const FormDescription& description) {
    auto form = std::make_unique<TForm1>(description);
    // A terminal's Ctrl+C, a hang-up or a termination request closes the window like the
    // operator would, so the teardown runs in order and the exit code is 0.
    QPointer<TForm1> window(form.get());
    auto quitSignals = shell::InstallQuitSignals([window] {
        // A close held back by a waiting send quits later, when the close goes ahead.
        if (window && window->close()) {
            QCoreApplication::quit();
        }
    });
    form->show();
    QApplication::exec();
    quitSignals.reset();
    form.reset();
    return 0;
}

}  // namespace

int RunProgram(int argc, char** argv, const FormDescription& description) {
    shell::OpenStandardDescriptors();
    shell::IgnoreWriteSignals();
    QApplication application(argc, argv);
    QApplication::setWindowIcon(shell::ApplicationIcon());
    static shell::MessageBoxes boxes;
    shell::InstallReportBoxes(boxes);
    try {
        return RunWindow(description);
    } catch (const Exception& error) {
        FatalReport(error);
    } catch (const std::exception& error) {
        FatalReport(Exception(error.what()));
    }
    return 1;
}
