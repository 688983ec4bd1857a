#pragma once
// The report seam as tests install it: boxes are recorded instead of shown.

#include <functional>
#include <string>
#include <vector>

#include "shell/Report.h"

namespace testsupport {

struct RecordedBox {
    std::string title;
    std::string text;
    bool fatal = false;
};

class RecordingBoxes final : public shell::ReportBoxes {
  public:
    void ShowErrorBox(const std::string& title, const std::string& text) override;
    void ShowFatalBox(const std::string& title, const std::string& text) override;

    std::vector<RecordedBox> shown;
    // Runs while a box is "open"; a test can run a nested event loop here to hold it open.
    std::function<void(const RecordedBox&)> whileOpen;
    int open = 0;
    int mostOpenAtOnce = 0;
};

// The recorder that the test main installed.
RecordingBoxes& Boxes();

// Forgets recorded boxes and the quiet period after the last closed box, so that tests of the
// same process do not see each other's reports.
void ResetBoxes();

}  // namespace testsupport
