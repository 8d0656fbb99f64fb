#pragma once
// Limits the program gives may be as large as it likes ("wait as long as it takes"): a deadline or a narrower
// duration made of one saturates at the largest value instead of overflowing into the past.

#include <chrono>
#include <limits>

namespace platform {

/// `d` in `To`'s units, rounded towards zero, clamped to `To`'s range.
template <typename To, typename Rep, typename Period>
constexpr To saturatingCast(std::chrono::duration<Rep, Period> d) {
    using Wide = std::chrono::duration<long double, typename To::period>;
    const long double wide = std::chrono::duration_cast<Wide>(d).count();
    if (wide >= static_cast<long double>(To::max().count())) {
        return To::max();
    }
    if (wide <= static_cast<long double>(To::min().count())) {
        return To::min();
    }
    return std::chrono::duration_cast<To>(d);
}

/// `now + after`, or the clock's last moment when that lies beyond it. `after` is never negative here.
template <typename Clock, typename Rep, typename Period>
typename Clock::time_point deadlineAfter(std::chrono::duration<Rep, Period> after,
                                         typename Clock::time_point now = Clock::now()) {
    using Duration = typename Clock::duration;
    const Duration room = Clock::time_point::max() - now;
    const Duration step = saturatingCast<Duration>(after);
    return step >= room ? Clock::time_point::max() : now + step;
}

}  // namespace platform
