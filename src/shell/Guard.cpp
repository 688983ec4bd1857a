#include "shell/Guard.h"

namespace shell {

void ReportForeignError(const char* what) noexcept {
    try {
        ReportException(Exception(what != nullptr ? what : "Unknown error"));
    } catch (...) {
        // Not even the report's own text could be built; there is nothing left to show.
    }
}

}  // namespace shell
