#include "support/Chromium.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

extern char** environ;

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kCallTime = std::chrono::seconds(20);

// Above the descriptors the child is given (3 and 4), so placing them never meets their source.
int Lifted(int fd) {
    const int lifted = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    ::close(fd);
    return lifted;
}

std::string Describe(const nlohmann::json& args) {
    std::string text;
    for (const auto& arg : args) {
        text += (text.empty() ? "" : " ") +
                (arg.contains("value") ? arg["value"].dump() : arg.value("description", "?"));
    }
    return text;
}

// A TCP socket on 127.0.0.1 at a free port, listening or not; `proxy` gets its address as a
// proxy setting.
int LoopbackSocket(bool listening, std::string& proxy) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        (listening && ::listen(fd, 64) != 0) ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    }
    proxy = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    return fd;
}

}  // namespace

Chromium::Chromium() {
    if (::access(kChromiumPath, X_OK) != 0) {
        startFailure_ = std::string(kChromiumPath) + " is missing";
        return;
    }
    char profile[] = "/tmp/udpphone-chromium.XXXXXX";
    if (::mkdtemp(profile) == nullptr) {
        startFailure_ = "no profile folder";
        return;
    }
    profile_ = profile;

    // The pages' proxy listens and counts; the browser's own (its updater and the like, none
    // of a page's doing) is a loopback port that refuses, held so no one else takes it.
    listener_ = LoopbackSocket(true, pageProxy_);
    refuser_ = LoopbackSocket(false, browserProxy_);
    if (listener_ < 0 || refuser_ < 0) {
        startFailure_ = "no loopback sockets";
        return;
    }

    int commands[2], replies[2];
    if (::pipe2(commands, O_CLOEXEC) != 0 || ::pipe2(replies, O_CLOEXEC) != 0) {
        startFailure_ = "no pipes";
        return;
    }
    const int commandsRead = Lifted(commands[0]), repliesWrite = Lifted(replies[1]);
    toBrowser_ = commands[1];
    fromBrowser_ = replies[0];

    const std::string log = profile_ + "/chromium.log";
    // Every request, loopback included, goes to the listener; no name resolves.
    const std::vector<std::string> arguments = {
        kChromiumPath,
        "--headless",
        "--no-sandbox",
        "--disable-gpu",
        "--disable-quic",
        "--no-first-run",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
        // The browser's own clock check asks a time server; the pages' requests stay on.
        "--disable-features=NetworkTimeServiceQuerying",
        "--user-data-dir=" + profile_,
        "--remote-debugging-pipe",
        "--proxy-server=" + browserProxy_,
        "--proxy-bypass-list=<-loopback>",
        "--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1",
        "about:blank",
    };
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, commandsRead, 3);
    posix_spawn_file_actions_adddup2(&actions, repliesWrite, 4);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int spawned =
        ::posix_spawn(&pid_, kChromiumPath, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(commandsRead);
    ::close(repliesWrite);
    if (spawned != 0) {
        pid_ = -1;
        startFailure_ = "cannot start " + std::string(kChromiumPath);
        return;
    }
    const nlohmann::json version = Call("Browser.getVersion", nlohmann::json::object());
    if (!version.contains("result")) {
        startFailure_ = "no answer over the pipe: " + version.dump();
    }
}

Chromium::~Chromium() {
    if (pid_ > 0) {
        if (startFailure_.empty()) {
            const std::string close =
                nlohmann::json{{"id", nextId_++}, {"method", "Browser.close"}}.dump();
            [[maybe_unused]] const auto written =
                ::write(toBrowser_, close.c_str(), close.size() + 1);
        }
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    for (const int fd : {toBrowser_, fromBrowser_, listener_, refuser_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    if (!profile_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(profile_, ignored);
    }
}

void Chromium::TakeStrays() {
    while (true) {
        const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            return;
        }
        // Its first line names what was wanted ("CONNECT host:443 ..."): a failure can say it.
        pollfd ready{connection, POLLIN, 0};
        char line[256] = {};
        if (::poll(&ready, 1, 200) == 1) {
            const ssize_t got = ::recv(connection, line, sizeof line - 1, 0);
            line[std::max<ssize_t>(got, 0)] = '\0';
        }
        const std::string first(line);
        load_.strays.push_back(first.substr(0, first.find('\r')));
        ::close(connection);
    }
}

void Chromium::Note(const nlohmann::json& message) {
    if (message.contains("id")) {
        replies_[message["id"].get<int>()] = message;
        return;
    }
    const std::string method = message.value("method", "");
    const nlohmann::json params = message.value("params", nlohmann::json::object());
    if (method == "Page.loadEventFired") {
        loaded_ = true;
    } else if (method == "Runtime.consoleAPICalled") {
        const std::string type = params.value("type", "");
        if (type == "error" || type == "assert") {
            load_.errors.push_back("console." + type + ": " + Describe(params["args"]));
        }
    } else if (method == "Runtime.exceptionThrown") {
        load_.errors.push_back("exception: " + params["exceptionDetails"].dump());
    } else if (method == "Log.entryAdded") {
        const nlohmann::json& entry = params["entry"];
        if (entry.value("level", "") == "error") {
            load_.errors.push_back("log: " + entry.value("text", "") + " " +
                                   entry.value("url", ""));
        }
    } else if (method == "Network.requestWillBeSent") {
        const std::string url = params["request"].value("url", "");
        if (url != pageUrl_) {
            load_.requests.push_back(url);
        }
    } else if (method == "Inspector.targetCrashed") {
        load_.errors.push_back("the page crashed");
    }
}

bool Chromium::ReadUntil(const std::function<bool()>& done, Clock::time_point deadline) {
    while (true) {
        for (std::size_t end; (end = pending_.find('\0')) != std::string::npos;) {
            Note(nlohmann::json::parse(pending_.substr(0, end), nullptr, false));
            pending_.erase(0, end + 1);
        }
        if (done()) {
            return true;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd watched[] = {{fromBrowser_, POLLIN, 0}, {listener_, POLLIN, 0}};
        if (::poll(watched, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            return false;
        }
        // A stray request is let go at once, so the page's load does not wait on it.
        TakeStrays();
        if ((watched[0].revents & (POLLIN | POLLHUP)) != 0) {
            char buffer[65536];
            const ssize_t got = ::read(fromBrowser_, buffer, sizeof buffer);
            if (got <= 0 && errno != EINTR) {
                return false;  // the browser is gone
            }
            pending_.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        }
    }
}

nlohmann::json Chromium::Call(const std::string& method, const nlohmann::json& params,
                              const std::string& session) {
    const int id = nextId_++;
    nlohmann::json message = {{"id", id}, {"method", method}, {"params", params}};
    if (!session.empty()) {
        message["sessionId"] = session;
    }
    const std::string text = message.dump() + '\0';
    for (std::size_t sent = 0; sent < text.size();) {
        const ssize_t wrote = ::write(toBrowser_, text.data() + sent, text.size() - sent);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return {{"error", "cannot write to the browser"}};
        }
        sent += static_cast<std::size_t>(wrote);
    }
    if (!ReadUntil([&] { return replies_.count(id) > 0; }, Clock::now() + kCallTime)) {
        return {{"error", method + ": no answer in time"}};
    }
    nlohmann::json reply = replies_[id];
    replies_.erase(id);
    return reply;
}

PageLoad Chromium::Load(const std::string& path, const std::string& probe, bool dark) {
    load_ = PageLoad{};
    loaded_ = false;
    pageUrl_ = "file://" + std::filesystem::absolute(path).string();
    auto fail = [&](const std::string& why, const nlohmann::json& reply) {
        load_.failure = why + ": " + reply.dump();
        return load_;
    };
    // A context of its own for each page, whose every request goes to the counting listener.
    const nlohmann::json context =
        Call("Target.createBrowserContext", {{"proxyServer", pageProxy_},
                                             {"proxyBypassList", "<-loopback>"},
                                             {"disposeOnDetach", true}});
    if (!context.contains("result")) {
        return fail("no browser context", context);
    }
    const std::string contextId = context["result"]["browserContextId"];
    const nlohmann::json target =
        Call("Target.createTarget", {{"url", "about:blank"}, {"browserContextId", contextId}});
    if (!target.contains("result")) {
        return fail("no tab", target);
    }
    const std::string targetId = target["result"]["targetId"];
    const nlohmann::json attached =
        Call("Target.attachToTarget", {{"targetId", targetId}, {"flatten", true}});
    if (!attached.contains("result")) {
        return fail("cannot attach", attached);
    }
    const std::string session = attached["result"]["sessionId"];
    for (const char* domain : {"Page.enable", "Runtime.enable", "Log.enable", "Network.enable"}) {
        Call(domain, nlohmann::json::object(), session);
    }
    Call("Emulation.setEmulatedMedia",
         {{"features", {{{"name", "prefers-color-scheme"}, {"value", dark ? "dark" : "light"}}}}},
         session);
    const nlohmann::json navigated = Call("Page.navigate", {{"url", pageUrl_}}, session);
    if (!navigated.contains("result") || navigated["result"].contains("errorText")) {
        return fail("cannot open the page", navigated);
    }
    if (!ReadUntil([&] { return loaded_; }, Clock::now() + kCallTime)) {
        return fail("no load event", nlohmann::json(nullptr));
    }
    // Whatever comes late (an error, a request) still counts.
    ReadUntil([] { return false; }, Clock::now() + std::chrono::milliseconds(300));
    const nlohmann::json value =
        Call("Runtime.evaluate", {{"expression", probe}, {"returnByValue", true}}, session);
    if (!value.contains("result") || value["result"].contains("exceptionDetails")) {
        return fail("the probe failed", value);
    }
    load_.probe = value["result"]["result"].value("value", nlohmann::json());
    Call("Target.closeTarget", {{"targetId", targetId}});
    Call("Target.disposeBrowserContext", {{"browserContextId", contextId}});
    return load_;
}

}  // namespace testsupport
