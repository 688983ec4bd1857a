#include "support/RecordingBoxes.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "shell/Exceptions.h"

namespace testsupport {

void RecordingBoxes::ShowErrorBox(const std::string& title, const std::string& text) {
    shown.push_back({title, text, false});
    ++open;
    mostOpenAtOnce = std::max(mostOpenAtOnce, open);
    RecordedBox box = shown.back();
    if (whileOpen) {
        whileOpen(box);
    }
    --open;
}

void RecordingBoxes::ShowFatalBox(const std::string& title, const std::string& text) {
    shown.push_back({title, text, true});
}

RecordingBoxes& Boxes() {
    static RecordingBoxes boxes;
    return boxes;
}

void ResetBoxes() {
    Boxes().shown.clear();
    Boxes().whileOpen = nullptr;
    Boxes().mostOpenAtOnce = 0;
    // A report with a text no test uses closes the quiet period of the last real one.
    ReportException(Exception("\x01reset"));
    Boxes().shown.clear();
}

}  // namespace testsupport
