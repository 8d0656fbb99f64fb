#pragma once
// bluetoothd keeps one discovery session per bus connection: the arbiter keeps it in step with what the
// scanning centrals want, one call at a time. It decides; the core makes the calls it asks for and hands back
// their answers (Discovery.cpp).

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "BluezObjects.h"

namespace platform::bluez {

class DiscoveryArbiter {
  public:
    // The scanning centrals' wishes merged: off, every device, or the union of their services; the weakest
    // signal any of them takes.
    struct Wish {
        bool scan = false;
        bool all = false;
        std::set<std::string> uuids;  // as bluetoothd writes them
        bool anyStrength = false;     // a central takes reports of any strength
        std::optional<int> rssi;      // else the lowest floor among them

        // One more scanning central, with the services it asks for (none: every device) and its floor.
        void add(const std::optional<std::vector<CBUUID>>& services, std::optional<int> rssiFloor = std::nullopt);
        // Names the filter, to tell whether the one applied is still right.
        std::string key() const;
        // SetDiscoveryFilter's argument: LE only, every report, the services unless all are wanted, and the
        // RSSI floor when every central has one.
        PropMap filter() const;
    };

    enum class Step { None, SetFilter, Stop };
    // What to ask bluetoothd next to bring it to `wish`. None while a call is under way: the wish is then looked
    // at again when that call answers (the answer says Update).
    Step next(const Wish& wish, bool poweredOn);

    // What the core does once a call has answered. Retry: bluetoothd refused the filter or the start, so the
    // session does not scan; the core asks again later, or gives up.
    enum class Then { Nothing, Update, Start, Retry };
    Then stopped(uint64_t generation);
    Then filterSet(uint64_t generation, const std::string& key, bool ok);
    Then started(uint64_t generation, bool ok);

    // bluetoothd, the adapter or its power went away, and every session and filter with them.
    void reset();
    uint64_t generation() const { return generation_; }
    bool on() const { return on_; }

  private:
    Then settled();

    uint64_t generation_ = 0;  // answers of an earlier generation are stale
    bool on_ = false;
    bool busy_ = false;
    bool dirty_ = false;  // the wish may have changed while busy
    std::optional<std::string> applied_;
};

}  // namespace platform::bluez
