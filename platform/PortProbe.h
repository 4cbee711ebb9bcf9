#pragma once

#include <stop_token>

namespace taviro::platform {

// Waits until something accepts TCP connections on 127.0.0.1:`port`, trying again every few
// milliseconds, for at most `seconds` or until `stop` is requested. A refusal on the loopback
// interface comes back at once, so a service is noticed as soon as it listens. Blocking: call it
// from background threads only.
bool waitUntilListening(int port, double seconds, std::stop_token stop = {});

// Something accepts TCP connections on 127.0.0.1:`port` now. Blocking, briefly.
bool isListening(int port);

// A port of 127.0.0.1 that the system reports free at this moment (something else may take it
// before it is used); 0 when the system gave none.
int freeLoopbackPort();

}  // namespace taviro::platform
