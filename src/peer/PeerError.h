#pragma once
// A condition that ends the peer before or while it works, with exit code 2: an argument, a file,
// a name or a socket that cannot be used. The message says which and why.

#include <stdexcept>
#include <string>

namespace peer {

class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A signal came while the run was still being set up (a host-name lookup, a pipe waiting for its
// reader): nothing was sent, and the run ends as interrupted.
class Interrupted : public std::runtime_error {
  public:
    Interrupted() : std::runtime_error("interrupted by a signal") {}
};

// The message of the current errno after `what`, as in "cannot open x: No such file".
std::string SystemMessage(const std::string& what);

}  // namespace peer
