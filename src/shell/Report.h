#pragma once
// The two ways an error reaches the operator: the recoverable box shown by a dispatcher after a
// handler failed, and the fatal box that ends a failed start-up.

#include <string>
#include <string_view>

class Exception;

namespace shell {

// The one seam through which boxes are shown. The program installs message boxes; a test
// installs a recorder. Showing is synchronous: the call returns when the operator closed the box.
class ReportBoxes {
  public:
    virtual ~ReportBoxes() = default;
    virtual void ShowErrorBox(const std::string& title, const std::string& text) = 0;
    virtual void ShowFatalBox(const std::string& title, const std::string& text) = 0;
};

// Installs the seam once per process; a second installation is refused with std::logic_error.
void InstallReportBoxes(ReportBoxes& boxes);

// The message with one "." appended when its last character sorts after "." byte by byte.
std::string RecoverableText(std::string_view message);

// "%sがモジュール %s の %p で発生しました。\n%s%s" filled in for the error and the module.
std::string FatalText(const Exception& error, std::string_view moduleName);

inline constexpr const char* kFatalTitle = "アプリケーション エラー";

// How long an error that repeats the text of the box just closed stays unreported.
inline constexpr int kRepeatQuietMilliseconds = 3000;

// From now on recoverable reports go to standard error, one line each ("title: text"), instead of
// into a box: once the program is asked to quit by a signal, no one may be there to close one.
void ReportOnStandardError() noexcept;

}  // namespace shell

// The recoverable report. Never throws. At most one box is open at a time; errors raised while
// it is open are dropped, and so is a repeat of the closed box's text for a short while, so that
// an error recurring on every tick cannot lock the operator out of the window. On standard error
// only a repeat of the line just written is dropped for that while.
void ReportException(const Exception& error) noexcept;

// The fatal report: the text goes to standard error and into the fatal box. Never throws.
void FatalReport(const Exception& error) noexcept;
