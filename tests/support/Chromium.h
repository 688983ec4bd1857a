#pragma once
// Debian's headless Chromium, driven over the DevTools protocol on a pipe, with no way out: each
// page's only proxy is a loopback listener of the test's own, which takes every connection a
// stray request of the page makes; the browser's own requests meet a loopback port that refuses;
// no name resolves; and the protocol's network events name every request a page makes.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

inline constexpr const char* kChromiumPath = "/usr/bin/chromium";

struct PageLoad {
    std::string failure;                // why the page did not load; empty when it did
    std::vector<std::string> errors;    // console errors, exceptions, error log entries
    std::vector<std::string> requests;  // every URL asked for, the page's own left out
    // What reached the listener standing in for a proxy: each connection's first line.
    std::vector<std::string> strays;
    nlohmann::json probe;  // the probe expression's value
};

class Chromium {
  public:
    // Starts the browser with an empty profile; StartFailure() says why it did not come up.
    Chromium();
    ~Chromium();
    Chromium(const Chromium&) = delete;
    Chromium& operator=(const Chromium&) = delete;

    const std::string& StartFailure() const { return startFailure_; }

    // Opens `path` in a new tab in the given colour scheme, waits for its load and a moment
    // more for anything late, then evaluates `probe` (JavaScript giving a JSON value).
    PageLoad Load(const std::string& path, const std::string& probe, bool dark = false);

  private:
    nlohmann::json Call(const std::string& method, const nlohmann::json& params,
                        const std::string& session = {});
    // Takes messages until `done` holds or the deadline passes: replies wait in `replies_`,
    // events go to `load_`.
    bool ReadUntil(const std::function<bool()>& done,
                   std::chrono::steady_clock::time_point deadline);
    void Note(const nlohmann::json& message);
    void TakeStrays();

    pid_t pid_ = -1;
    int toBrowser_ = -1, fromBrowser_ = -1, listener_ = -1, refuser_ = -1;
    std::string profile_, pending_, pageUrl_, startFailure_, pageProxy_, browserProxy_;
    int nextId_ = 1;
    std::map<int, nlohmann::json> replies_;
    bool loaded_ = false;
    PageLoad load_;
};

}  // namespace testsupport
