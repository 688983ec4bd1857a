#include "shell/Report.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "shell/ApplicationTitle.h"
#include "shell/Exceptions.h"
#include "shell/Gathering.h"
#include "shell/MessageLoop.h"
#include "shell/TextConversions.h"

namespace shell {
namespace {

ReportBoxes* installedBoxes = nullptr;

using Clock = std::chrono::steady_clock;

struct RecoverableState {
    bool boxOpen = false;
    bool toStandardError = false;
    // The last report that went out, as a box once closed or as a line on standard error.
    std::string lastText;
    Clock::time_point lastAt{};
    bool anyReported = false;
    bool lastWasLine = false;
};

RecoverableState& State() {
    static RecoverableState state;
    return state;
}

// Whether `text` repeats, within the quiet period, what was last reported the same way.
bool RepeatsTheLast(const RecoverableState& state, const std::string& text, bool asLine) {
    return state.anyReported && state.lastWasLine == asLine && text == state.lastText &&
           Clock::now() - state.lastAt < std::chrono::milliseconds(kRepeatQuietMilliseconds);
}

void Remember(RecoverableState& state, std::string text, bool asLine) {
    state.lastText = std::move(text);
    state.lastAt = Clock::now();
    state.anyReported = true;
    state.lastWasLine = asLine;
}

void WriteLine(RecoverableState& state, std::string text) {
    if (RepeatsTheLast(state, text, true)) {
        return;
    }
    std::fprintf(stderr, "%s: %s\n", ApplicationTitle().c_str(), text.c_str());
    std::fflush(stderr);
    Remember(state, std::move(text), true);
}

void ShowBox(RecoverableState& state, std::string text) {
    if (state.boxOpen || installedBoxes == nullptr || RepeatsTheLast(state, text, false)) {
        return;
    }
    state.boxOpen = true;
    try {
        // The box's loop dispatches on its own, at a level of its own: what the failed handler
        // logged is shown behind it.
        ModalLoopScope modal;
        installedBoxes->ShowErrorBox(ApplicationTitle(), text);
    } catch (...) {
        // A box that could not be shown reports nothing further; the program goes on.
    }
    state.boxOpen = false;
    Remember(state, std::move(text), false);
}

}  // namespace

void InstallReportBoxes(ReportBoxes& boxes) {
    if (installedBoxes != nullptr) {
        throw std::logic_error("report boxes are already installed");
    }
    installedBoxes = &boxes;
}

void ReportOnStandardError() noexcept {
    State().toStandardError = true;
}

std::string RecoverableText(std::string_view message) {
    // Only the last byte needs looking at: the lead byte of a multi-byte UTF-8 character is above
    // 0x7F, and so is a continuation byte, even a stray one that stands as a character of its own.
    std::string text(message);
    if (!text.empty() &&
        static_cast<unsigned char>(text.back()) > static_cast<unsigned char>('.')) {
        text += '.';
    }
    return text;
}

std::string FatalText(const Exception& error, std::string_view moduleName) {
    const std::string& message = error.Message();
    std::string text = std::string(error.ClassName()) + "がモジュール " + std::string(moduleName) +
                       " の " + IntToHex(static_cast<std::int32_t>(error.Position()), 8) +
                       " で発生しました。\n" + message;
    if (!message.empty() && message.back() != '.') {
        text += '.';
    }
    return text;
}

}  // namespace shell

void ReportException(const Exception& error) noexcept {
    auto& state = shell::State();
    try {
        std::string text = shell::RecoverableText(error.Message());
        if (state.toStandardError) {
            shell::WriteLine(state, std::move(text));
        } else {
            shell::ShowBox(state, std::move(text));
        }
    } catch (...) {
        // Not even the text could be built; there is nothing to report with.
    }
}

void FatalReport(const Exception& error) noexcept {
    try {
        std::string text = shell::FatalText(error, shell::ExecutableFileName());
        std::fprintf(stderr, "%s\n", text.c_str());
        std::fflush(stderr);
        if (shell::installedBoxes != nullptr) {
            shell::NestedDispatch nested;
            shell::installedBoxes->ShowFatalBox(shell::kFatalTitle, text);
        }
    } catch (...) {
        // Nothing more can be said; the caller ends the program all the same.
    }
}
