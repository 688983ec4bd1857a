#include "shell/ApplicationTitle.h"

#include <unistd.h>

#include <vector>

namespace shell {

std::string ExecutablePath() {
    std::vector<char> buffer(4096);
    for (;;) {
        ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) {
            return {};
        }
        if (static_cast<std::size_t>(length) < buffer.size()) {
            return std::string(buffer.data(), static_cast<std::size_t>(length));
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string DirectoryOf(std::string_view path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string_view::npos) {
        return {};
    }
    // The root keeps its separator, as the directory would otherwise be empty.
    if (slash == 0) {
        return "/";
    }
    return std::string(path.substr(0, slash));
}

std::string ExecutableDirectory() {
    return DirectoryOf(ExecutablePath());
}

std::string ExecutableFileName() {
    std::string path = ExecutablePath();
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string TitleFromExecutablePath(std::string_view path) {
    auto slash = path.find_last_of('/');
    if (slash != std::string_view::npos) {
        path.remove_prefix(slash + 1);
    }
    if (auto dot = path.find('.'); dot != std::string_view::npos) {
        path = path.substr(0, dot);
    }
    std::string title(path);
    // The first character keeps its case, whatever its length in bytes.
    std::size_t first = 1;
    while (first < title.size() && (static_cast<unsigned char>(title[first]) & 0xC0) == 0x80) {
        ++first;
    }
    for (std::size_t i = first; i < title.size(); ++i) {
        if (title[i] >= 'A' && title[i] <= 'Z') {
            title[i] = static_cast<char>(title[i] - 'A' + 'a');
        }
    }
    return title;
}

const std::string& ApplicationTitle() {
    static const std::string title = TitleFromExecutablePath(ExecutablePath());
    return title;
}

}  // namespace shell
