#include "support/TestWindows.h"

#include <stdexcept>

#include "net/NMUDP.h"

namespace testsupport {

FormDescription LoopbackForm1(const std::string& eIP, std::int32_t localPort,
                              std::int32_t remotePort) {
    FormDescription description = StoredForm1();
    description.Component("eIP").Set("Text", eIP);
    description.Component("UDPSock").Set("LocalPort", std::int64_t{localPort});
    description.Component("UDPSock").Set("RemotePort", std::int64_t{remotePort});
    return description;
}

std::unique_ptr<TForm1> MakeWindow(const std::string& eIP, std::int32_t remotePort) {
    return std::make_unique<TForm1>(LoopbackForm1(eIP, 0, remotePort));
}

std::uint16_t BoundPort(const TForm1& window) {
    return window.UDPSock->BoundPort();
}

}  // namespace testsupport
