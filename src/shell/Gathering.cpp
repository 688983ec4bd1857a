#include "shell/Gathering.h"

#include <utility>
#include <vector>

namespace shell {
namespace {

// GUI thread only, like every handler.
int gatherDepth = 0;
std::vector<std::function<void()>> settles;

}  // namespace

GatherScope::GatherScope() noexcept {
    ++gatherDepth;
}

GatherScope::~GatherScope() {
    --gatherDepth;
    Settle();
}

bool Gathering() {
    return gatherDepth > 0;
}

void SettleLater(std::function<void()> settle) {
    settles.push_back(std::move(settle));
}

void Settle() noexcept {
    // A settle may register another (it should not, but then that one runs too).
    while (!settles.empty()) {
        std::vector<std::function<void()>> now;
        now.swap(settles);
        for (auto& settle : now) {
            try {
                settle();
            } catch (...) {
                // The output is lost, not the program: nothing here may reach the event loop.
            }
        }
    }
}

NestedDispatch::NestedDispatch() noexcept : outerDepth_(gatherDepth) {
    Settle();
    gatherDepth = 0;
}

NestedDispatch::~NestedDispatch() {
    Settle();
    gatherDepth = outerDepth_;
}

}  // namespace shell
