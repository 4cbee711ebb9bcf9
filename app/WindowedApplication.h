#pragma once

#include "app/AppDelegate.h"

namespace taviro {

// The delegate's machine access as the packaged application uses it.
AppDelegate::Platform packagedPlatform();

// The readiness waits shrunk by TAVIRO_CONNECTION_TIME_SCALE, a factor above 0 and at most 1 (for
// tests and demos that must see a failed cycle quickly); the product values otherwise.
ServiceTiming connectionTiming();

// Runs the window until the application quits; returns the exit status.
int runWindowedApplication(int argc, char** argv);

}  // namespace taviro
