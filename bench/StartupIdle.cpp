// udpphone_startup_bench: starts the real udpphone on an X display (Xvfb, which bench.sh starts
// inside the namespace) and times it from the start of the process until its window "Form1" is
// mapped, as an X client that listens for maps on the root window. Then reads the program's
// resident memory and, over an idle period with its timer running, its processor time, both
// from /proc. Ends each program with SIGTERM, which closes the window like the operator would.

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"

extern char** environ;

namespace {

xcb_atom_t Atom(xcb_connection_t* connection, const char* name) {
    auto cookie =
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    xcb_atom_t atom = reply != nullptr ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    std::free(reply);
    return atom;
}

std::string WindowName(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t property) {
    auto cookie = xcb_get_property(connection, 0, window, property, XCB_ATOM_ANY, 0, 256);
    xcb_get_property_reply_t* reply = xcb_get_property_reply(connection, cookie, nullptr);
    std::string name;
    if (reply != nullptr) {
        name.assign(static_cast<const char*>(xcb_get_property_value(reply)),
                    static_cast<std::size_t>(xcb_get_property_value_length(reply)));
        std::free(reply);
    }
    return name;
}

// Waits for the map of a top-level window named `title`; false after `timeout` seconds.
bool WaitForMappedWindow(xcb_connection_t* connection, xcb_atom_t netWmName,
                         const std::string& title, double timeout) {
    const double giveUp = bench::Now() + timeout;
    pollfd descriptor{xcb_get_file_descriptor(connection), POLLIN, 0};
    for (;;) {
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) {
            const bool mapped = (event->response_type & 0x7F) == XCB_MAP_NOTIFY;
            xcb_window_t window =
                mapped ? reinterpret_cast<xcb_map_notify_event_t*>(event)->window : 0;
            std::free(event);
            if (mapped && (WindowName(connection, window, netWmName) == title ||
                           WindowName(connection, window, XCB_ATOM_WM_NAME) == title)) {
                return true;
            }
        }
        if (xcb_connection_has_error(connection) != 0) {
            return false;
        }
        const double left = giveUp - bench::Now();
        if (left <= 0) {
            return false;
        }
        ::poll(&descriptor, 1, static_cast<int>(left * 1000) + 1);
    }
}

pid_t Start(const std::string& program) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        if (text.rfind("QT_QPA_PLATFORM=", 0) != 0 && text.rfind("WAYLAND_DISPLAY=", 0) != 0) {
            environment.push_back(text);
        }
    }
    environment.push_back("QT_QPA_PLATFORM=xcb");
    std::vector<char*> envp;
    for (std::string& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::string argument0 = program;
    char* argv[] = {argument0.data(), nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data()) != 0) {
        return -1;
    }
    return pid;
}

int Stop(pid_t pid) {
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void Pause(double seconds) {
    ::usleep(static_cast<useconds_t>(seconds * 1e6));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s UDPPHONE [STARTS] [IDLE_SECONDS]\n", argv[0]);
        return 2;
    }
    const std::string program = argv[1];
    const int starts = argc > 2 ? std::atoi(argv[2]) : 5;
    const double idleSeconds = argc > 3 ? std::atof(argv[3]) : 30;

    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection) != 0) {
        std::fprintf(stderr, "startup bench: no X display\n");
        return 1;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber; ++i) {
        xcb_screen_next(&screens);
    }
    const xcb_window_t root = screens.data->root;
    const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection, root, XCB_CW_EVENT_MASK, &mask);
    const xcb_atom_t netWmName = Atom(connection, "_NET_WM_NAME");
    xcb_flush(connection);

    std::vector<double> shownAfter;
    std::vector<double> resident;
    double idlePercent = NAN;
    int failures = 0;
    for (int run = 0; run < starts; ++run) {
        const double started = bench::Now();
        const pid_t pid = Start(program);
        if (pid < 0 || !WaitForMappedWindow(connection, netWmName, "Form1", 10)) {
            std::fprintf(stderr, "startup bench: no window \"Form1\" within 10 s\n");
            ++failures;
            if (pid > 0) {
                Stop(pid);
            }
            continue;
        }
        const double shown = bench::Now() - started;
        Pause(1);  // what start-up leaves behind, once the first paint is done
        const std::int64_t rss = bench::ResidentBytes(pid);
        std::fprintf(stderr, "  start %d: window mapped after %.1f ms, resident %.1f MB\n", run + 1,
                     shown * 1000, static_cast<double>(rss) / 1048576);
        shownAfter.push_back(shown);
        resident.push_back(static_cast<double>(rss));
        if (run == starts - 1) {
            std::fprintf(stderr, "  idle for %.0f s\n", idleSeconds);
            const double cpuBefore = bench::ProcCpuSeconds(pid);
            const double from = bench::Now();
            Pause(idleSeconds);
            idlePercent = (bench::ProcCpuSeconds(pid) - cpuBefore) / (bench::Now() - from) * 100;
        }
        if (Stop(pid) != 0) {
            std::fprintf(stderr, "startup bench: the program did not end with exit code 0\n");
            ++failures;
        }
    }
    xcb_disconnect(connection);

    const double medianShown = bench::Percentile(shownAfter, 0.5) * 1000;
    const double slowestShown =
        shownAfter.empty() ? NAN : *std::max_element(shownAfter.begin(), shownAfter.end()) * 1000;
    const double largestResident =
        resident.empty() ? NAN : *std::max_element(resident.begin(), resident.end()) / 1048576;
    const std::string of =
        " (real udpphone under Xvfb, " + std::to_string(shownAfter.size()) + " starts)";
    bench::Row(
        "5 Start-up: start of process to window mapped, median" + of,
        bench::Format(medianShown, 0) + " ms (slowest " + bench::Format(slowestShown, 0) + " ms)",
        "< 400 ms", "", bench::Verdict(failures == 0 && slowestShown < 400));
    bench::Row("5 Start-up: resident memory 1 s after the window was mapped, largest" + of,
               bench::Format(largestResident, 1) + " MB", "< 60 MB", "",
               bench::Verdict(failures == 0 && largestResident < 60));
    bench::Row("5 Idle: processor use over " + bench::Format(idleSeconds, 0) +
                   " s idle, timer running (utime+stime from /proc)",
               bench::Format(idlePercent, 3) + " % of one core", "< 1 %", "",
               bench::Verdict(idlePercent < 1));
    return failures == 0 ? 0 : 1;
}
