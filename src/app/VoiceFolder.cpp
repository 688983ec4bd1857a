#include "app/VoiceFolder.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "shell/ApplicationTitle.h"

namespace voice {
namespace {

// `base` and `name` with one "/" between them, whatever slashes `base` ends with.
std::string Join(std::string base, const char* name) {
    while (!base.empty() && base.back() == '/') {
        base.pop_back();
    }
    return base + "/" + name;
}

bool IsAbsolute(const char* path) {
    return path != nullptr && path[0] == '/';
}

std::string Problem(std::string_view what, const std::string& path, int error) {
    return std::string(what) + " " + path + ": " + std::strerror(error);
}

// Each missing folder on the way to `folder`, the way XDG asks for data folders: private.
bool MakeFolders(const std::string& folder, std::string& problem) {
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string prefix = folder.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            problem = Problem("cannot create", prefix, errno);
            return false;
        }
        if (slash == std::string::npos) {
            break;
        }
    }
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0) {
        problem = Problem("cannot create", folder, errno);
        return false;
    }
    if (!S_ISDIR(status.st_mode)) {
        problem = Problem("cannot create", folder, ENOTDIR);
        return false;
    }
    return true;
}

bool WriteAll(int fd, const char* bytes, std::size_t size) {
    while (size > 0) {
        ssize_t written = ::write(fd, bytes, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// A new file at `to` holding the bytes of `from`, or an empty one when `from` is empty.
bool PlaceFile(const std::string& from, const std::string& to, std::string& problem) {
    int in = -1;
    if (!from.empty()) {
        in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (in < 0) {
            problem = Problem("cannot read the sample tone", from, errno);
            return false;
        }
    }
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (out < 0) {
        problem = Problem("cannot create", to, errno);
        if (in >= 0) {
            ::close(in);
        }
        return false;
    }
    bool ok = true;
    std::vector<char> buffer(64 * 1024);
    while (in >= 0 && ok) {
        ssize_t count = ::read(in, buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            problem = Problem("cannot read the sample tone", from, errno);
            ok = false;
        } else if (count == 0) {
            break;
        } else if (!WriteAll(out, buffer.data(), static_cast<std::size_t>(count))) {
            problem = Problem("cannot write", to, errno);
            ok = false;
        }
    }
    if (in >= 0) {
        ::close(in);
    }
    if (::close(out) != 0 && ok) {
        problem = Problem("cannot write", to, errno);
        ok = false;
    }
    return ok;
}

// Moves the finished folder into place unless something got there first.
int MoveIntoPlace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return errno;
    }
    // A file system without the no-replace move: a plain one still never replaces a folder
    // that holds files.
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

void RemoveUnfinished(const std::string& staging) {
    ::unlink((staging + "/send.au").c_str());
    ::unlink((staging + "/recv.au").c_str());
    ::rmdir(staging.c_str());
}

}  // namespace

std::string UserFolder(const char* xdgDataHome, const char* home) {
    if (IsAbsolute(xdgDataHome)) {
        return Join(xdgDataHome, "udpphone");
    }
    if (IsAbsolute(home)) {
        return Join(home, ".local/share/udpphone");
    }
    return {};
}

PreparedFolder PrepareFolder(const std::string& folder, const std::string& sampleTone) {
    if (folder.empty() || folder.front() != '/') {
        return {FolderOutcome::Failed,
                "no folder for the voice files: neither XDG_DATA_HOME nor "
                "HOME names an absolute folder"};
    }
    struct stat status {};
    if (::lstat(folder.c_str(), &status) == 0) {
        return {FolderOutcome::Existing, {}};
    }
    if (errno != ENOENT) {
        return {FolderOutcome::Failed, Problem("cannot look at", folder, errno)};
    }
    std::string problem;
    const std::string parent = shell::DirectoryOf(folder);
    if (!MakeFolders(parent, problem)) {
        return {FolderOutcome::Failed, problem};
    }
    std::string staging = Join(parent, ".udpphone-new-XXXXXX");
    if (::mkdtemp(staging.data()) == nullptr) {
        return {FolderOutcome::Failed, Problem("cannot create a folder in", parent, errno)};
    }
    if (!PlaceFile(sampleTone, staging + "/send.au", problem) ||
        !PlaceFile({}, staging + "/recv.au", problem)) {
        RemoveUnfinished(staging);
        return {FolderOutcome::Failed, problem};
    }
    if (int error = MoveIntoPlace(staging, folder); error != 0) {
        RemoveUnfinished(staging);
        // Another start of the program made it meanwhile: that one is as good.
        if (error == EEXIST || error == ENOTEMPTY) {
            return {FolderOutcome::Existing, {}};
        }
        return {FolderOutcome::Failed, Problem("cannot create", folder, error)};
    }
    return {FolderOutcome::Created, {}};
}

#ifdef UDPPHONE_SAMPLE_TONE

std::string VoiceFolder() {
    return UserFolder(std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
}

void PrepareVoiceFolder() {
    const PreparedFolder prepared = PrepareFolder(VoiceFolder(), UDPPHONE_SAMPLE_TONE);
    if (prepared.outcome == FolderOutcome::Failed) {
        std::fprintf(stderr, "%s: %s; the open button will not find send.au and recv.au\n",
                     shell::ExecutableFileName().c_str(), prepared.problem.c_str());
    }
}

#else

std::string VoiceFolder() {
    return shell::ExecutableDirectory();
}

void PrepareVoiceFolder() {}

#endif

}  // namespace voice
