#pragma once
// The error classes of the program. Every failure travels as one of these, carrying the class name
// that the fatal report shows and the message that both reports show.

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

class Exception : public std::exception {
  public:
    // The file and line default to where the error is raised (the builtins behind
    // std::source_location, which clang 14 has without that header's support).
    explicit Exception(std::string message, const char* file = __builtin_FILE(),
                       unsigned line = __builtin_LINE());

    virtual const char* ClassName() const noexcept { return "Exception"; }
    const std::string& Message() const noexcept { return message_; }
    // A stable figure for the code that raised the error: the same source line always gives the
    // same value, which is all the fatal report needs from it.
    std::uint32_t Position() const noexcept { return position_; }
    const char* what() const noexcept override { return message_.c_str(); }

  protected:
    Exception(std::string message, std::uint32_t position) noexcept;

  private:
    std::string message_;
    std::uint32_t position_;
};

#define UDPPHONE_ERROR_CLASS(Name, Base)                                        \
    class Name : public Base {                                                  \
      public:                                                                   \
        explicit Name(std::string message, const char* file = __builtin_FILE(), \
                      unsigned line = __builtin_LINE())                         \
            : Base(std::move(message), file, line) {}                           \
        const char* ClassName() const noexcept override { return #Name; }       \
    }

UDPPHONE_ERROR_CLASS(EConvertError, Exception);
UDPPHONE_ERROR_CLASS(EOutOfResources, Exception);

// An error raised while one stored property of the window description was being applied.
class EReadError : public Exception {
  public:
    EReadError(const std::string& component, const std::string& property, const Exception& inner);
    const char* ClassName() const noexcept override { return "EReadError"; }
};
