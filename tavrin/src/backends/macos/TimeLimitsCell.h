#pragma once
// Where a peripheral finds its time limits: its own, once set, else its adapter's current ones.

#include <memory>
#include <mutex>
#include <optional>

#include <tavrin/TimeLimits.h>

namespace Tavrin {

/// One set of limits that any thread may read or replace. Guarded by its own mutex.
class TimeLimitsCell {
  public:
    TimeLimits get() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return limits_;
    }
    /// Validates first: invalid limits throw and change nothing.
    void set(const TimeLimits& limits) {
        limits.validate();
        std::lock_guard<std::mutex> lock(mutex_);
        limits_ = limits;
    }

  private:
    mutable std::mutex mutex_;
    TimeLimits limits_;  // guarded by mutex_
};

/// A peripheral's limits: its own once set, else those of the adapter that found it (shared, so they
/// follow the adapter's later changes and outlive it), else the defaults.
class PeripheralTimeLimits {
  public:
    explicit PeripheralTimeLimits(std::shared_ptr<const TimeLimitsCell> inherited = nullptr)
        : inherited_(std::move(inherited)) {}

    TimeLimits get() const {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (own_) {
                return *own_;
            }
        }
        return inherited_ ? inherited_->get() : TimeLimits{};
    }
    void set(const TimeLimits& limits) {
        limits.validate();
        std::lock_guard<std::mutex> lock(mutex_);
        own_ = limits;
    }

  private:
    const std::shared_ptr<const TimeLimitsCell> inherited_;  // set at construction, read-only after
    mutable std::mutex mutex_;
    std::optional<TimeLimits> own_;  // guarded by mutex_
};

}  // namespace Tavrin
