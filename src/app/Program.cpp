#include "app/Program.h"

#include <QApplication>
#include <QIcon>
#include <QPointer>
#include <memory>

#include "app/MainForm.h"
#include "app/VoiceFolder.h"
#include "shell/ApplicationIcon.h"
#include "shell/ApplicationTitle.h"
#include "shell/Exceptions.h"
#include "shell/MessageBoxes.h"
#include "shell/ProcessSetup.h"
#include "shell/Report.h"

namespace {

// A terminal's Ctrl+C, a hang-up or a termination request closes the window like the operator
// would, so the teardown runs in order and the exit code is 0. Before the window exists (a fatal
// box is open) or after it is gone, the request just ends the loop that runs.
std::shared_ptr<void> QuitOnSignals(const QPointer<TForm1>& window) {
    return shell::InstallQuitSignals([&window] {
        // A service manager's stop or a logout must not wait for someone to close a box.
        shell::ReportOnStandardError();
        if (window) {
            window->close();  // held back while a send waits, until that send has unwound
        }
        // exit() rather than quit(): a quit asks every window to close first, and a message box
        // can refuse. It ends the loop of a box still open at once, and the main loop as soon as
        // control is back there, after a waiting send has finished or failed.
        QCoreApplication::exit(0);
    });
}

int RunWindow(const FormDescription& description, QPointer<TForm1>& window) {
    auto form = std::make_unique<TForm1>(description);
    window = form.get();
    form->show();
    QApplication::exec();
    form.reset();
    return 0;
}

}  // namespace

int RunProgram(int argc, char** argv, const FormDescription& description) {
    shell::OpenStandardDescriptors();
    shell::IgnoreWriteSignals();
    shell::ReturnLargeBlocksWhenFreed();
    voice::PrepareVoiceFolder();
    QApplication application(argc, argv);
    QApplication::setWindowIcon(shell::ApplicationIcon());
    static shell::MessageBoxes boxes;
    shell::InstallReportBoxes(boxes);
    QPointer<TForm1> window;
    // Installed before the window is built, so that a request arriving during start-up is taken
    // once the loop runs instead of killing the program half-built.
    auto quitSignals = QuitOnSignals(window);
    try {
        return RunWindow(description, window);
    } catch (const Exception& error) {
        FatalReport(error);
    } catch (const std::exception& error) {
        FatalReport(Exception(error.what()));
    }
    return 1;
}
