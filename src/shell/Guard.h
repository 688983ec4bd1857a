#pragma once
// The one guard through which every dispatch from Qt into the program's code passes. An error
// that escapes the call is handed to the recoverable report and the dispatch returns normally:
// no exception ever unwinds through Qt's event handling.

#include <exception>
#include <utility>

#include "shell/Exceptions.h"
#include "shell/MessageLoop.h"
#include "shell/Report.h"

namespace shell {

// Reports an error that is not one of the program's own classes.
void ReportForeignError(const char* what) noexcept;

template <class Call>
void Guarded(Call&& call) noexcept {
    DispatchScope scope;
    try {
        std::forward<Call>(call)();
    } catch (const Exception& error) {
        ReportException(error);
    } catch (const std::exception& error) {
        ReportForeignError(error.what());
    } catch (...) {
        ReportForeignError(nullptr);
    }
}

}  // namespace shell
