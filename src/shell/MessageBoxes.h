#pragma once
// The report seam as the operator sees it: Qt message boxes with the stop icon and one OK button.

#include "shell/Report.h"

namespace shell {

class MessageBoxes final : public ReportBoxes {
  public:
    void ShowErrorBox(const std::string& title, const std::string& text) override;
    void ShowFatalBox(const std::string& title, const std::string& text) override;
};

}  // namespace shell
