#pragma once

#include "shell/Exceptions.h"

// The socket component's own failures, told apart from every other error by their class.
UDPPHONE_ERROR_CLASS(UDPSockError, Exception);
