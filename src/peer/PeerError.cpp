#include "peer/PeerError.h"

#include <cerrno>
#include <cstring>

namespace peer {

std::string SystemMessage(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

}  // namespace peer
