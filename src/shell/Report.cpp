#include "shell/Report.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "shell/ApplicationTitle.h"
#include "shell/Exceptions.h"
#include "shell/Gathering.h"
#include "shell/TextConversions.h"

namespace shell {
namespace {

ReportBoxes* installedBoxes = nullptr;

struct RecoverableState {
    bool boxOpen = false;
    std::string lastClosedText;
    std::chrono::steady_clock::time_point lastClosedAt{};
    bool anyClosed = false;
};

RecoverableState& State() {
    static RecoverableState state;
    return state;
}

}  // namespace

void InstallReportBoxes(ReportBoxes& boxes) {
    if (installedBoxes != nullptr) {
        throw std::logic_error("report boxes are already installed");
    }
    installedBoxes = &boxes;
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
    using Clock = std::chrono::steady_clock;
    auto& state = shell::State();
    try {
        if (state.boxOpen || shell::installedBoxes == nullptr) {
            return;
        }
        std::string text = shell::RecoverableText(error.Message());
        if (state.anyClosed && text == state.lastClosedText &&
            Clock::now() - state.lastClosedAt <
                std::chrono::milliseconds(shell::kRepeatQuietMilliseconds)) {
            return;
        }
        state.boxOpen = true;
        try {
            // The box runs a loop of its own: what the failed handler logged is shown behind it.
            shell::NestedDispatch nested;
            shell::installedBoxes->ShowErrorBox(shell::ApplicationTitle(), text);
        } catch (...) {
            // A box that could not be shown reports nothing further; the program goes on.
        }
        state.boxOpen = false;
        state.lastClosedText = std::move(text);
        state.lastClosedAt = Clock::now();
        state.anyClosed = true;
    } catch (...) {
        state.boxOpen = false;
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
