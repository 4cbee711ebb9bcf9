#pragma once

namespace taviro {

// Every wait of the connection cycle, in seconds. Tests shorten them; the product uses the
// defaults.
struct ServiceTiming {
    double healthRequestTimeout = 0.8;
    double healthAnswerWait = 1.0;
    double healthCheckPause = 0.6;
    double startAttemptWait = 5.0;
    int startAttempts = 5;
    int startAttemptsAfterRollback = 3;
    double finalWait = 45.0;
    double reconnectDelay = 2.0;
    double homeRequestTimeout = 20.0;
};

}  // namespace taviro
