#pragma once

#include <chrono>
#include <deque>

namespace taviro {

// How often a terminated web process may bring the page back on its own: a page that takes its
// process down at once would otherwise reload for ever. Past the limit, a person's retry does.
class WebProcessRestartLimit {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int terminations = 3;
    static constexpr std::chrono::seconds window{60};

    // Counts a termination at `now`; false when it is the `terminations`-th within `window`.
    bool allowsRestart(Clock::time_point now) {
        recent_.push_back(now);
        while (now - recent_.front() >= window) recent_.pop_front();
        return recent_.size() < static_cast<std::size_t>(terminations);
    }

private:
    std::deque<Clock::time_point> recent_;
};

}  // namespace taviro
