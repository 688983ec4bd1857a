#pragma once
// Where the program lives and what it calls itself.

#include <string>
#include <string_view>

namespace shell {

// The full path of the running executable.
std::string ExecutablePath();

// The executable's directory, without a trailing "/" except for the root.
std::string ExecutableDirectory();

// The executable's file name, without its directory.
std::string ExecutableFileName();

// The title for an executable path: its file name up to the first ".", with every character after
// the first in lower case. Only ASCII letters change case; other characters are kept as they are.
std::string TitleFromExecutablePath(std::string_view path);

// The title of this process's executable, computed once.
const std::string& ApplicationTitle();

// The directory part of `path` by the same cut as ExecutableDirectory.
std::string DirectoryOf(std::string_view path);

}  // namespace shell
