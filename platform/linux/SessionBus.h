#pragma once

namespace taviro::platform {

// Whether a session bus can be reached without starting one. With no address and no per-user
// socket, GDBus would fall back to X11 autolaunch and might start a bus of its own; callers
// that only want to ask an existing bus treat that case as "no bus".
bool sessionBusMayExist();

}  // namespace taviro::platform
