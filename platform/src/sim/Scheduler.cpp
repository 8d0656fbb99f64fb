// The radio's clock: timed tasks on a heap, advertisements in one timer wheel per scan.

#include <algorithm>

#include "SimInternal.h"
#include "SimRadio.h"

namespace platform::sim {

namespace {
constexpr auto kTick = std::chrono::milliseconds(1);
constexpr size_t kLookAhead = 8;
}  // namespace

uint32_t Scan::intervalOf(const Device& device) {
    return std::max(1u, device.config.advertising.interval_ms);
}

uint32_t Scan::phaseOf(const Device& device) {
    return device.phase_ms % intervalOf(device);
}

void Scan::seed(const std::shared_ptr<Device>& device) {
    join(device, phaseOf(*device), intervalOf(*device));
}

bool Scan::join(const std::shared_ptr<Device>& device, uint64_t due, uint32_t interval) {
    if (!members.insert(device.get()).second) {
        return false;
    }
    ScanMember& member = devices.emplace_back(ScanMember{device, {}});
    arm(AdvEntry{device.get(), &member.slot, due, interval});
    return true;
}

void Scan::arm(const AdvEntry& entry) {
    auto& slot = wheel[entry.due % kWheelSlots];
    if (slot.capacity() == 0 && !free_buffers.empty()) {
        slot.swap(free_buffers.back());
        free_buffers.pop_back();
    }
    slot.push_back(entry);
}

bool Scan::matches(const Device& device) const {
    if (rssi_floor && device.report->rssi < *rssi_floor) {
        return false;
    }
    if (!filter || filter->empty()) {
        return true;
    }
    for (const CBUUID& wanted : *filter) {
        if (std::find(device.advertised_services.begin(), device.advertised_services.end(), wanted) !=
            device.advertised_services.end()) {
            return true;
        }
    }
    return false;
}

Scheduler::Scheduler() : base_(Clock::now()) {
    thread_ = std::thread([this] { run(); });
}

Scheduler::~Scheduler() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

uint64_t Scheduler::tickOf(Clock::time_point t) const {
    return t <= base_ ? 0
                      : static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(t - base_).count());
}

void Scheduler::after(Clock::duration delay, std::function<void()> task) {
    at(Clock::now() + delay, std::move(task));
}

void Scheduler::at(Clock::time_point due, std::function<void()> task) {
    bool earliest;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        timers_.push_back(Timer{due, sequence_++, std::move(task)});
        std::push_heap(timers_.begin(), timers_.end(), LaterFirst{});
        earliest = timers_.front().sequence == sequence_ - 1;
    }
    if (earliest) {
        wake_.notify_one();
    }
}

void Scheduler::addEntryLocked(Scan& scan, const std::shared_ptr<Device>& device, uint64_t now_tick) {
    const uint32_t interval = Scan::intervalOf(*device);
    // The phase is counted from the scan's start, so a run repeats; a device added later joins that rhythm.
    uint64_t due = scan.start_tick + Scan::phaseOf(*device);
    if (due < now_tick) {
        due += ((now_tick - due - 1) / interval + 1) * interval;
    }
    scan.join(device, due, interval);
}

void Scheduler::replaceScan(const std::shared_ptr<Scan>& previous, const std::shared_ptr<Scan>& scan) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (previous) {
            scans_.erase(std::remove(scans_.begin(), scans_.end(), previous), scans_.end());
        }
        if (scan) {
            // Entries were filled relative to tick 0; shift them to start now, after the last tick already
            // run, or they would wait a whole turn of the wheel.
            const uint64_t now_tick = std::max(tickOf(Clock::now()), last_tick_ + 1);
            std::vector<AdvEntry> entries;
            for (auto& slot : scan->wheel) {
                entries.insert(entries.end(), slot.begin(), slot.end());
                slot.clear();
            }
            scan->start_tick = now_tick;
            for (AdvEntry& entry : entries) {
                entry.due += now_tick;
                scan->arm(entry);
            }
            scans_.push_back(scan);
        }
    }
    if (scan) {
        wake_.notify_one();
    }
}

void Scheduler::addToScan(const std::shared_ptr<Scan>& scan, const std::shared_ptr<Device>& device) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::find(scans_.begin(), scans_.end(), scan) == scans_.end()) {
        return;  // stopped meanwhile
    }
    addEntryLocked(*scan, device, std::max(tickOf(Clock::now()), last_tick_ + 1));
}

std::vector<std::shared_ptr<Scan>> Scheduler::scans() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return scans_;
}

void Scheduler::advanceScanLocked(Scan& scan, uint64_t tick, uint64_t now_tick) {
    auto& slot = scan.wheel[tick % Scan::kWheelSlots];
    if (slot.empty()) {
        return;
    }
    // Swap the slot out: re-armed entries may land in this very slot again. The slot is left without a buffer;
    // the last one handled goes back to the pool.
    if (scan.scratch.capacity() > 0) {
        scan.free_buffers.emplace_back().swap(scan.scratch);
    }
    scan.scratch.swap(slot);
    const size_t count = scan.scratch.size();
    for (size_t i = 0; i < count; ++i) {
        if (i + kLookAhead < count) {
            // Devices and their slots lie scattered in memory: ask for those a few entries on while this one
            // is handled, rather than wait for each in turn.
            const AdvEntry& ahead = scan.scratch[i + kLookAhead];
            __builtin_prefetch(&ahead.device->report);
            __builtin_prefetch(ahead.slot);
        }
        AdvEntry& entry = scan.scratch[i];
        if (entry.due > tick) {
            scan.arm(entry);  // a later round of the wheel
            continue;
        }
        if (entry.device->removed.load(std::memory_order_relaxed)) {
            continue;
        }
        scan.pending.push_back(radio::Sighting{entry.device->report.get(), entry.slot});
        if (!scan.duplicates) {
            continue;  // without duplicates a device is reported once per scan
        }
        entry.due += entry.interval;
        if (entry.due <= now_tick) {
            // The radio fell behind: advertisements it missed while busy are lost, the rhythm stays. So a
            // saturated radio reports each device at most once per pass, as a real scanner drops what it
            // cannot take.
            entry.due += ((now_tick - entry.due) / entry.interval + 1) * entry.interval;
        }
        scan.arm(entry);
    }
    scan.scratch.clear();
}

void Scheduler::collectReportsLocked(std::vector<Reports>& reports) {
    for (const auto& scan : scans_) {
        if (scan->pending.empty()) {
            continue;
        }
        // Delivered once the mutex is released; the session drops those of a scan it stopped meanwhile.
        Reports batch{scan->session.lock(), scan, {}};
        batch.sightings.swap(scan->pending);
        scan->pending.swap(scan->spare);
        if (batch.session) {
            reports.push_back(std::move(batch));
        }
    }
}

void Scheduler::run() {
    std::vector<std::function<void()>> ready;
    std::vector<Reports> reports;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        const auto now = Clock::now();
        while (!timers_.empty() && timers_.front().due <= now) {
            std::pop_heap(timers_.begin(), timers_.end(), LaterFirst{});
            ready.push_back(std::move(timers_.back().task));
            timers_.pop_back();
        }
        const uint64_t now_tick = tickOf(now);
        if (!scans_.empty() && now_tick > last_tick_) {
            // After a long stall one turn of the wheel covers every slot.
            uint64_t first = last_tick_ + 1;
            if (now_tick - first >= Scan::kWheelSlots) {
                first = now_tick - Scan::kWheelSlots + 1;
            }
            for (const auto& scan : scans_) {
                for (uint64_t tick = first; tick <= now_tick; ++tick) {
                    advanceScanLocked(*scan, tick, now_tick);
                }
            }
            collectReportsLocked(reports);
        }
        last_tick_ = std::max(last_tick_, now_tick);
        if (!ready.empty() || !reports.empty()) {
            lock.unlock();
            for (auto& task : ready) {
                task();
                task = nullptr;  // release captures here, with no lock held
            }
            ready.clear();
            for (const Reports& batch : reports) {
                batch.session->deliverReports(*batch.scan, batch.sightings);
            }
            lock.lock();
            for (Reports& batch : reports) {
                // Its capacity serves a later tick; the session is released with no lock held.
                batch.sightings.clear();
                if (batch.scan->spare.capacity() < batch.sightings.capacity()) {
                    batch.scan->spare.swap(batch.sightings);
                }
            }
            lock.unlock();
            reports.clear();
            lock.lock();
            continue;
        }
        auto next = Clock::time_point::max();
        if (!timers_.empty()) {
            next = timers_.front().due;
        }
        if (!scans_.empty()) {
            next = std::min(next, base_ + std::chrono::duration_cast<Clock::duration>(
                                              kTick * static_cast<int64_t>(last_tick_ + 1)));
        }
        if (next == Clock::time_point::max()) {
            wake_.wait(lock);
        } else {
            wake_.wait_until(lock, next);
        }
    }
}

}  // namespace platform::sim
