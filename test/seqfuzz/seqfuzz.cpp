// The sequence fuzzer. Each seed gives a small random world (SeqWorld.h) that changes while it runs (devices
// leave and come back, links drop, faults come and go, values are notified), and 2 to 4 threads making a
// random sequence of public calls on it, also from inside the callbacks, dropping and taking handles (the
// last one too) and installing callbacks that throw or replace themselves or each other. It checks:
// - every call ends within its documented limit and throws only its documented exception types;
// - no value reaches a callback or a read of another attribute, nor a callback after unsubscribe() returned;
// - every disconnect() that returned called the disconnected callback exactly once, on its own thread;
// - a write without response that returned reached its device, unless the link went meanwhile;
// - no state is left that the library cannot leave: once its device behaves again, each peripheral
//   disconnects, connects, answers a read and carries a write without response;
// - the run ends: no call hangs, and once the handles are gone every backend is released.
// A failing seed prints one line that reproduces it (the world and each thread's calls; not the interleaving).
//
//   tavrin_seqfuzz [--seed N | --seeds FIRST:COUNT | --seeds random:COUNT] [--seconds S] [--slack-ms MS]
//                  [--verbose 1]
//
// --seconds stops starting new seeds once that long has passed; --slack-ms is added to every limit (default
// 2000); --verbose 1 prints each seed's time. In the sanitizer builds, by hand:
//   build-tsan/test/tavrin_seqfuzz --seeds 1:2000 --slack-ms 3000

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <strings.h>

#include <platform/CoreBluetooth.h>
#include <platform/sim/World.h>
#include <tavrin/Tavrin.h>

#include "SeqWorld.h"
#include "frontends/base/AdapterBuilder.h"
#include "frontends/base/PeripheralBuilder.h"
#include "support/AdapterHarness.h"

namespace seqfuzz {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace E = Tavrin::Exception;
using Tavrin::Adapter;
using Tavrin::Peripheral;

long long ms(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

std::string printable(const std::string& bytes) {
    std::string out;
    for (const unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// What the calling thread is in: the disconnect() calls it waits in (innermost last), and the time its
// callbacks took, by the nesting depth of the call that fired them (subtracted from that call's time).
struct Token {
    unsigned device = 0;
    unsigned calls = 0;  // disconnected callbacks of that device on this thread during the call
    unsigned wrong = 0;  // ... of another device
};
struct Caller;
struct ThreadState {
    Caller* caller = nullptr;  // on a calling thread: what it is doing goes there
    std::vector<Token*> disconnects;
    unsigned depth = 0;
    std::array<Clock::duration, 32> in_callbacks{};
};
thread_local ThreadState tls;

enum Allowed : unsigned {
    kFailed = 1,
    kNotConnected = 2,
    kNotFound = 4,
    kNotSupported = 8,
    kNotInitialized = 16,
};
constexpr unsigned kGatt = kFailed | kNotConnected | kNotFound | kNotSupported;

struct Options {
    uint64_t first = 0;
    uint64_t count = 1;
    double seconds = 0;  // 0: no time budget
    bool verbose = false;
    Clock::duration slack = 2s;
};

/// One subscription made by notify()/indicate(): its callback checks every value it gets.
struct Subscription {
    unsigned device = 0;
    const Attribute* attribute = nullptr;
    std::atomic<bool> ended{false};  // the notify() call that made it has ended
    std::atomic<bool> dead{false};   // an unsubscribe() that started after that returned normally
};

/// A write without response that returned, with the link's tree (its first service) before and after it.
struct SentWrite {
    const Attribute* attribute = nullptr;
    std::string payload;
    platform::CBServicePtr before, after;
};

struct DeviceState {
    std::mutex mutex;
    Peripheral pool;  // a handle any thread or callback may take; guarded by mutex
    std::map<size_t, std::vector<std::shared_ptr<Subscription>>> subscriptions;  // by characteristic; mutex
    std::vector<SentWrite> sent;                                                 // guarded by mutex
    // Characteristics whose device may drop what is written to them (a write fault); guarded by mutex.
    std::set<const Attribute*> lossy;
    // What the disconnected callback is, as far as known: installs that overlapped leave it unknown (their
    // order in the library is not theirs here). Bumped on every install's start and end. Guarded by mutex.
    bool installed = false;
    bool known = true;
    unsigned generation = 0;
    unsigned installs_running = 0;
    uint64_t installs_started = 0;
    platform::CBPeripheralPtr platform;             // set up front, then read-only
    std::weak_ptr<Tavrin::PeripheralBase> backend;  // set up front, then read-only
};

/// One calling thread: its own handles, its random sequence, and what it is doing (for a hang report).
struct Caller {
    explicit Caller(uint64_t seed) : random(seed) {}
    Random random;
    Adapter adapter;
    std::vector<Peripheral> handles;
    std::mutex mutex;
    std::string device;  // the device of the step under way; this thread only
    std::string doing;   // guarded by mutex
};

class Run {
  public:
    Run(uint64_t seed, const Options& options) : seed_(seed), options_(options), world_(make_world(seed)) {}

    /// Runs the seed; the first failure, or the empty string.
    std::string execute();
    std::string summary() const {
        return std::to_string(world_.devices.size()) + " devices, " + std::to_string(callers_.size()) + " threads";
    }

  private:
    void fail(const std::string& what) {
        std::lock_guard<std::mutex> lock(failure_mutex_);
        if (failure_.empty()) {
            failure_ = what;
        }
    }

    // ---- calls and callbacks
    template <typename Body>
    bool call(const std::string& name, unsigned allowed, Clock::duration limit, Body body);
    template <typename Body>
    void in_callback(Body body);

    Peripheral pooled(unsigned device) {
        std::lock_guard<std::mutex> lock(devices_[device]->mutex);
        return devices_[device]->pool;
    }
    // The handle goes once the lock is released: it may be the last one.
    void drop_pooled(unsigned device, Peripheral replacement = Peripheral()) {
        std::lock_guard<std::mutex> lock(devices_[device]->mutex);
        std::swap(devices_[device]->pool, replacement);
    }
    // A callback's own work: a few milliseconds.
    void work() { std::this_thread::sleep_for(std::chrono::milliseconds(counter_++ % 4)); }
    Adapter pooled_adapter() {
        std::lock_guard<std::mutex> lock(adapter_mutex_);
        return adapter_pool_;
    }
    std::function<void()> on_connected(unsigned device, unsigned variant);
    std::function<void()> on_disconnected(unsigned device, unsigned variant);
    void install_disconnected(Peripheral& p, unsigned device, std::function<void()> callback);
    std::function<void(std::string)> on_value(const std::shared_ptr<Subscription>& subscription, unsigned variant);
    std::function<void(Peripheral)> on_found(unsigned variant);
    int device_of(Peripheral& p);

    // ---- the operations
    void step(Caller& caller);
    void connect(Peripheral& p, unsigned device);
    void disconnect(Peripheral& p, unsigned device);
    void gatt(Random& random, Peripheral& p, unsigned device, unsigned kind);
    void subscribe(Random& random, Peripheral& p, unsigned device, size_t index, bool indicate);
    void unsubscribe(Peripheral& p, unsigned device, size_t index);
    void write_command(Random& random, Peripheral& p, unsigned device, const Attribute& attribute);
    platform::CBServicePtr first_service(unsigned device) const;

    // ---- the world and the end
    void world_loop();
    void check_writes();
    void check_recovery();
    bool release_everything();

    const uint64_t seed_;
    const Options options_;
    const World world_;
    std::vector<std::unique_ptr<DeviceState>> devices_;
    std::vector<std::unique_ptr<Caller>> callers_;
    std::atomic<bool> stop_world_{false};
    std::atomic<unsigned> counter_{0};  // makes payloads unique
    // The connection callbacks this seed prefers: 0 any, 2 the pair that reconnects and disconnects again,
    // 4 the pair that replace each other. Set up front.
    unsigned pair_ = 0;
    std::mutex adapter_mutex_;
    Adapter adapter_pool_;  // guarded by adapter_mutex_
    std::weak_ptr<Tavrin::AdapterBase> adapter_backend_;
    std::mutex failure_mutex_;
    std::string failure_;  // guarded by failure_mutex_
};

template <typename Body>
bool Run::call(const std::string& name, unsigned allowed, Clock::duration limit, Body body) {
    const unsigned depth = tls.depth;
    const auto callbacks_before = tls.in_callbacks[depth];
    if (tls.caller) {
        std::lock_guard<std::mutex> lock(tls.caller->mutex);
        tls.caller->doing = name + " on " + tls.caller->device;
    }
    const auto start = Clock::now();
    std::string unexpected;
    bool returned = false;
    try {
        body();
        returned = true;
    } catch (const E::OperationFailed& e) {
        unexpected = (allowed & kFailed) ? "" : e.what();
    } catch (const E::NotConnected& e) {
        unexpected = (allowed & kNotConnected) ? "" : e.what();
    } catch (const E::ServiceNotFound& e) {
        unexpected = (allowed & kNotFound) ? "" : e.what();
    } catch (const E::CharacteristicNotFound& e) {
        unexpected = (allowed & kNotFound) ? "" : e.what();
    } catch (const E::DescriptorNotFound& e) {
        unexpected = (allowed & kNotFound) ? "" : e.what();
    } catch (const E::OperationNotSupported& e) {
        unexpected = (allowed & kNotSupported) ? "" : e.what();
    } catch (const E::NotInitialized& e) {
        unexpected = (allowed & kNotInitialized) ? "" : e.what();
    } catch (const std::exception& e) {
        unexpected = std::string("an undocumented exception: ") + e.what();
    } catch (...) {
        unexpected = "a non-standard exception";
    }
    const auto spent = Clock::now() - start - (tls.in_callbacks[depth] - callbacks_before);
    if (!unexpected.empty()) {
        fail(name + " threw " + unexpected + " after " + std::to_string(ms(spent)) + " ms");
    }
    if (spent > limit + options_.slack) {
        fail(name + " took " + std::to_string(ms(spent)) + " ms; its limit is " + std::to_string(ms(limit)) + " ms");
    }
    return returned;
}

template <typename Body>
void Run::in_callback(Body body) {
    struct Scope {
        unsigned depth = tls.depth;
        Clock::time_point start = Clock::now();
        Scope() { ++tls.depth; }
        ~Scope() {
            --tls.depth;
            tls.in_callbacks[depth] += Clock::now() - start;
        }
    } scope;
    if (tls.depth < tls.in_callbacks.size() - 1) {
        body();
    }
}

int Run::device_of(Peripheral& p) {
    std::string address;
    call("address()", 0, 0s, [&] { address = p.address(); });
    for (size_t d = 0; d < world_.devices.size(); ++d) {
        if (strcasecmp(world_.devices[d].id.c_str(), address.c_str()) == 0) {
            return static_cast<int>(d);
        }
    }
    fail("a handle with an unknown address: " + address);
    return -1;
}

std::function<void()> Run::on_connected(unsigned device, unsigned variant) {
    return [this, device, variant] {
        in_callback([&] {
            Peripheral p = pooled(device);
            if (!p.initialized()) {
                return;
            }
            if (variant >= 2 && variant <= 4) {
                work();  // so that the other callback comes while this one runs
            }
            switch (variant) {
                case 1:
                    throw std::runtime_error("on_connected throws");
                case 2:
                    if (tls.depth <= 2) {
                        disconnect(p, device);  // drop it again as soon as it is up
                    }
                    break;
                case 3:
                    call("set_callback_on_connected()", 0, 60s,
                         [&] { p.set_callback_on_connected(on_connected(device, 3)); });
                    break;
                case 4:
                    install_disconnected(p, device, on_disconnected(device, 4));
                    break;
                case 5:
                    drop_pooled(device);  // the last handle may be the one this call holds
                    break;
                case 6: {
                    Random random(seed_ ^ counter_++);
                    gatt(random, p, device, pick(random, 0, 3));
                    break;
                }
                default:
                    break;
            }
        });
    };
}

std::function<void()> Run::on_disconnected(unsigned device, unsigned variant) {
    return [this, device, variant] {
        in_callback([&] {
            if (!tls.disconnects.empty()) {
                Token& token = *tls.disconnects.back();
                ++(token.device == device ? token.calls : token.wrong);
            }
            Peripheral p = pooled(device);
            if (!p.initialized()) {
                return;
            }
            if (variant >= 2 && variant <= 4) {
                work();
            }
            switch (variant) {
                case 1:
                    throw 7;
                case 2:
                    if (tls.depth <= 2) {
                        connect(p, device);  // reconnect when the link drops
                    }
                    break;
                case 3:
                    install_disconnected(p, device, on_disconnected(device, 3));
                    break;
                case 4:
                    call("set_callback_on_connected()", 0, 60s,
                         [&] { p.set_callback_on_connected(on_connected(device, 4)); });
                    break;
                case 5:
                    call("is_connected()", 0, 0s, [&] { (void)p.is_connected(); });
                    break;
                default:
                    break;
            }
        });
    };
}

// The disconnected callback's presence is what the exactly-once check relies on: it is marked changing
// for the length of the call, and known afterwards only if no other install overlapped it.
void Run::install_disconnected(Peripheral& p, unsigned device, std::function<void()> callback) {
    DeviceState& state = *devices_[device];
    uint64_t started = 0;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        ++state.generation;
        ++state.installs_running;
        started = ++state.installs_started;
    }
    const bool installing = static_cast<bool>(callback);
    const bool done =
        call("set_callback_on_disconnected()", 0, 60s, [&] { p.set_callback_on_disconnected(std::move(callback)); });
    std::lock_guard<std::mutex> lock(state.mutex);
    const bool alone = state.installs_running == 1 && state.installs_started == started;
    --state.installs_running;
    state.known = alone && done;
    state.installed = installing;
    ++state.generation;
}

std::function<void(std::string)> Run::on_value(const std::shared_ptr<Subscription>& subscription, unsigned variant) {
    return [this, subscription, variant](std::string value) {
        in_callback([&] {
            const Attribute& attribute = *subscription->attribute;
            const std::string where = "the value callback of " + attribute.service + "/" + attribute.characteristic;
            if (subscription->dead) {
                fail(printable(value) + " reached " + where + " after unsubscribe() returned");
            }
            if (!starts_with(value, attribute.tag)) {
                fail(printable(value) + " (another attribute's value) reached " + where);
            }
            Peripheral p = pooled(subscription->device);
            if (!p.initialized()) {
                return;
            }
            Random random(seed_ ^ (counter_++ * 7919));
            switch (variant) {
                case 1:
                    throw std::runtime_error("value callback throws");
                case 2:
                    unsubscribe(p, subscription->device,
                                static_cast<size_t>(subscription->attribute -
                                                    world_.devices[subscription->device].characteristics.data()));
                    break;
                case 3:
                    write_command(random, p, subscription->device, attribute);
                    break;
                case 4:
                    gatt(random, p, subscription->device, pick(random, 0, 3));  // each fails at once here
                    break;
                case 5:
                    if (chance(random, 20)) {
                        disconnect(p, subscription->device);
                    }
                    break;
                case 6:
                    drop_pooled(subscription->device);
                    break;
                default:
                    break;
            }
        });
    };
}

std::function<void(Peripheral)> Run::on_found(unsigned variant) {
    return [this, variant](Peripheral p) {
        in_callback([&] {
            switch (variant) {
                case 1:
                    throw std::runtime_error("found throws");
                case 2: {
                    const int device = device_of(p);
                    if (device >= 0) {
                        connect(p, static_cast<unsigned>(device));  // fails at once here unless connected
                    }
                    break;
                }
                case 3: {
                    const int device = device_of(p);
                    if (device >= 0) {
                        drop_pooled(static_cast<unsigned>(device), p);
                    }
                    break;
                }
                case 4: {
                    Adapter adapter = pooled_adapter();
                    if (adapter.initialized()) {
                        call("set_callback_on_scan_found()", 0, 60s,
                             [&] { adapter.set_callback_on_scan_found(on_found(0)); });
                    }
                    break;
                }
                default:
                    call("is_connected()", 0, 0s, [&] { (void)p.is_connected(); });
            }
        });
    };
}

platform::CBServicePtr Run::first_service(unsigned device) const {
    const auto& peripheral = devices_[device]->platform;
    const auto services = peripheral->services();
    return services && !services->empty() ? services->front() : nullptr;
}

void Run::connect(Peripheral& p, unsigned device) {
    const auto limit = 10s + std::chrono::seconds(world_.devices[device].discovery_steps);
    call("connect()", kFailed, limit, [&] { p.connect(); });
}

void Run::disconnect(Peripheral& p, unsigned device) {
    DeviceState& state = *devices_[device];
    unsigned generation = 0;
    bool installed = false, known = false;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        generation = state.generation;
        installed = state.installed;
        known = state.known && state.installs_running == 0;
    }
    Token token;
    token.device = device;
    tls.disconnects.push_back(&token);
    const bool returned = call("disconnect()", kFailed, 5s, [&] { p.disconnect(); });
    tls.disconnects.pop_back();
    if (token.wrong) {
        fail("disconnect() called another peripheral's disconnected callback");
    }
    bool settled = false;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        settled = known && generation == state.generation;
    }
    const unsigned expected = returned && installed ? 1 : 0;
    if ((settled && token.calls != expected) || token.calls > 1) {
        fail("disconnect() " + std::string(returned ? "returned" : "threw") + " and called the disconnected callback " +
             std::to_string(token.calls) + " times on its thread");
    }
}

void Run::write_command(Random& random, Peripheral& p, unsigned device, const Attribute& attribute) {
    std::string payload = attribute.tag + "#" + std::to_string(counter_++);
    if (chance(random, 10)) {
        payload.append(pick(random, 20, 300), 'x');  // maybe longer than the link takes: then it must throw
    }
    const auto before = first_service(device);
    if (call("write_command()", kGatt, 1s,
             [&] { p.write_command(attribute.service, attribute.characteristic, payload); })) {
        std::lock_guard<std::mutex> lock(devices_[device]->mutex);
        devices_[device]->sent.push_back({&attribute, payload, before, first_service(device)});
    }
}

void Run::subscribe(Random& random, Peripheral& p, unsigned device, size_t index, bool indicate) {
    const Attribute& attribute = world_.devices[device].characteristics[index];
    auto subscription = std::make_shared<Subscription>();
    subscription->device = device;
    subscription->attribute = &attribute;
    {
        std::lock_guard<std::mutex> lock(devices_[device]->mutex);
        devices_[device]->subscriptions[index].push_back(subscription);
    }
    const unsigned variant = chance(random, 70) ? 0 : pick(random, 1, 6);
    call(indicate ? "indicate()" : "notify()", kGatt, 1s, [&] {
        if (indicate) {
            p.indicate(attribute.service, attribute.characteristic, on_value(subscription, variant));
        } else {
            p.notify(attribute.service, attribute.characteristic, on_value(subscription, variant));
        }
    });
    subscription->ended = true;
}

void Run::unsubscribe(Peripheral& p, unsigned device, size_t index) {
    const Attribute& attribute = world_.devices[device].characteristics[index];
    // Those subscribed before this call: none of their callbacks may run once it has returned.
    std::vector<std::shared_ptr<Subscription>> ended;
    {
        std::lock_guard<std::mutex> lock(devices_[device]->mutex);
        for (const auto& subscription : devices_[device]->subscriptions[index]) {
            if (subscription->ended) {
                ended.push_back(subscription);
            }
        }
    }
    if (call("unsubscribe()", kGatt, 1s, [&] { p.unsubscribe(attribute.service, attribute.characteristic); })) {
        for (const auto& subscription : ended) {
            subscription->dead = true;
        }
    }
}

// Reads and writes of characteristics and descriptors, now and then on a name the device does not have.
void Run::gatt(Random& random, Peripheral& p, unsigned device, unsigned kind) {
    const Device& info = world_.devices[device];
    const bool on_descriptor = kind >= 2 && !info.descriptors.empty();
    Attribute attribute = on_descriptor ? info.descriptors[random() % info.descriptors.size()]
                                        : info.characteristics[random() % info.characteristics.size()];
    if (chance(random, 5)) {
        (chance(random, 50) ? attribute.service : attribute.characteristic) =
            chance(random, 50) ? "nonsense" : uuid(9, 9);
    }
    const std::string payload = attribute.tag + "w" + std::to_string(counter_++);
    const bool descriptor_values = attribute.descriptor != kClientConfiguration;  // that one reads as a number
    if (!on_descriptor && kind % 2 == 0) {
        std::string value;
        if (call("read()", kGatt, 1s, [&] { value = p.read(attribute.service, attribute.characteristic); }) &&
            !value.empty() && !starts_with(value, attribute.tag)) {
            fail("read() of " + attribute.characteristic + " gave another attribute's value " + printable(value));
        }
    } else if (!on_descriptor) {
        call("write_request()", kGatt, 1s,
             [&] { p.write_request(attribute.service, attribute.characteristic, payload); });
    } else if (kind % 2 == 0) {
        std::string value;
        if (call("read(descriptor)", kGatt, 1s,
                 [&] { value = p.read(attribute.service, attribute.characteristic, attribute.descriptor); }) &&
            descriptor_values && !value.empty() && !starts_with(value, attribute.tag)) {
            fail("read() of descriptor " + attribute.descriptor + " gave another attribute's value " +
                 printable(value));
        }
    } else {
        call("write(descriptor)", kGatt, 1s,
             [&] { p.write(attribute.service, attribute.characteristic, attribute.descriptor, payload); });
    }
}

void Run::step(Caller& caller) {
    Random& random = caller.random;
    const unsigned device = static_cast<unsigned>(random() % world_.devices.size());
    const Device& info = world_.devices[device];
    Peripheral& mine = caller.handles[device];
    const unsigned what = pick(random, 0, 99);
    caller.device = info.id;

    // Handles and the adapter.
    if (what < 4) {
        mine = Peripheral();
        return;
    }
    if (what < 10 || !mine.initialized()) {
        if (caller.adapter.initialized() && chance(random, 50)) {
            std::vector<Peripheral> results;
            call("scan_get_results()", 0, 0s, [&] { results = caller.adapter.scan_get_results(); });
            for (auto& p : results) {
                if (device_of(p) == static_cast<int>(device)) {
                    mine = p;
                }
            }
        } else {
            mine = pooled(device);
        }
        return;
    }
    if (what < 11) {
        caller.adapter = Adapter();
        if (chance(random, 30)) {
            std::lock_guard<std::mutex> lock(adapter_mutex_);
            adapter_pool_ = Adapter();
        }
        return;
    }
    if (what < 13) {
        drop_pooled(device, chance(random, 50) ? mine : Peripheral());
        return;
    }
    if (what < 18) {
        Adapter& adapter = caller.adapter;
        if (!adapter.initialized()) {
            adapter = pooled_adapter();
            return;
        }
        switch (random() % 6) {
            case 0:
                call("scan_start()", 0, 5s, [&] { adapter.scan_start(); });
                break;
            case 1:
                call("scan_stop()", 0, 5s, [&] { adapter.scan_stop(); });
                break;
            case 2: {
                const unsigned timeout = pick(random, 5, 60);
                call("scan_for()", 0, 10s + std::chrono::milliseconds(timeout),
                     [&] { adapter.scan_for(static_cast<int>(timeout)); });
                break;
            }
            case 3:
                call("set_callback_on_scan_found()", 0, 60s, [&] {
                    adapter.set_callback_on_scan_found(chance(random, 20) ? nullptr : on_found(pick(random, 0, 4)));
                });
                break;
            case 4:
                call("set_callback_on_scan_start()", 0, 60s, [&] {
                    adapter.set_callback_on_scan_start([this, variant = random() % 3] {
                        in_callback([&] {
                            if (variant == 1) {
                                throw std::runtime_error("start throws");
                            }
                            if (variant == 2) {
                                Adapter pool = pooled_adapter();
                                if (pool.initialized()) {
                                    call("scan_is_active()", 0, 0s, [&] { (void)pool.scan_is_active(); });
                                }
                            }
                        });
                    });
                });
                break;
            default:
                call("scan_is_active()", 0, 0s, [&] { (void)adapter.scan_is_active(); });
        }
        return;
    }

    // The peripheral.
    if (what < 30) {
        connect(mine, device);
    } else if (what < 40) {
        disconnect(mine, device);
    } else if (what < 58) {
        gatt(random, mine, device, pick(random, 0, 3));
    } else if (what < 68) {
        const size_t index = random() % info.characteristics.size();
        write_command(random, mine, device, info.characteristics[index]);
    } else if (what < 75) {
        const size_t index = random() % info.characteristics.size();
        subscribe(random, mine, device, index, chance(random, 30));
    } else if (what < 80) {
        unsubscribe(mine, device, random() % info.characteristics.size());
    } else if (what < 85) {
        const unsigned variant = pair_ && chance(random, 50) ? pair_ : chance(random, 40) ? 0 : pick(random, 1, 6);
        call("set_callback_on_connected()", 0, 60s,
             [&] { mine.set_callback_on_connected(on_connected(device, variant)); });
    } else if (what < 90) {
        const unsigned variant = pair_ && chance(random, 50) ? pair_ : chance(random, 40) ? 0 : pick(random, 1, 5);
        install_disconnected(mine, device, chance(random, 8) ? nullptr : on_disconnected(device, variant));
    } else if (what < 96) {
        call("queries", 0, 0s, [&] {
            (void)mine.is_connected();
            (void)mine.services();
            (void)mine.mtu();
            (void)mine.rssi();
            (void)mine.identifier();
            (void)mine.manufacturer_data();
            (void)mine.is_connectable();
        });
    } else if (what < 98) {
        call("is_paired()", kNotSupported, 0s, [&] { (void)mine.is_paired(); });
    } else {
        Peripheral unbound;
        call("read() on an unbound handle", kNotInitialized, 0s,
             [&] { (void)unbound.read(info.characteristics[0].service, info.characteristics[0].characteristic); });
    }
}

void Run::world_loop() {
    Random random(seed_ * 31 + 17);
    auto& world = platform::sim::World::get();
    std::vector<std::pair<Clock::time_point, unsigned>> away;
    bool cycled = false;
    while (!stop_world_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pick(random, 5, 60)));
        for (auto it = away.begin(); it != away.end();) {
            if (Clock::now() >= it->first) {
                world.addPeripheral(world_.devices[it->second].config);
                it = away.erase(it);
            } else {
                ++it;
            }
        }
        const unsigned device = static_cast<unsigned>(random() % world_.devices.size());
        const Device& info = world_.devices[device];
        const Attribute& attribute = info.characteristics[random() % info.characteristics.size()];
        const std::string value = attribute.tag + "n" + std::to_string(counter_++);
        const unsigned what = pick(random, 0, 99);
        try {
            if (what < 40) {
                world.notify(info.id, attribute.service, attribute.characteristic, value);
            } else if (what < 50) {
                world.setValue(info.id, attribute.service, attribute.characteristic, value);
            } else if (what < 56) {
                world.dropLink(info.id);
            } else if (what < 61) {
                if (std::none_of(away.begin(), away.end(), [&](const auto& entry) { return entry.second == device; })) {
                    world.removePeripheral(info.id);
                    away.emplace_back(Clock::now() + std::chrono::milliseconds(pick(random, 50, 400)), device);
                }
            } else if (what < 70) {
                static const char* const requests[] = {"read", "write", "subscribe", "unsubscribe",
                                                       "discover_descriptors"};
                const char* request = requests[random() % 5];
                const auto fault = random_fault(random, 60);
                if (fault && std::strcmp(request, "write") == 0) {
                    std::lock_guard<std::mutex> lock(devices_[device]->mutex);
                    devices_[device]->lossy.insert(&attribute);
                }
                world.setFault(info.id, {attribute.service, attribute.characteristic, ""}, request, fault);
            } else if (what < 72 && world_.power_cycle && !cycled) {
                cycled = true;
                world.setAdapterState(platform::CBManagerState::PoweredOff);
                std::this_thread::sleep_for(std::chrono::milliseconds(pick(random, 20, 200)));
                world.setAdapterState(platform::CBManagerState::PoweredOn);
            }
        } catch (const std::out_of_range&) {
            // The device is away.
        }
    }
}

// A write without response that returned must have reached its device, unless its link went: the link
// stayed up when the tree it was made on is still the platform's, before, after and now.
void Run::check_writes() {
    auto& world = platform::sim::World::get();
    for (size_t d = 0; d < devices_.size(); ++d) {
        const Device& info = world_.devices[d];
        std::map<std::pair<std::string, std::string>, std::string> tags;
        for (const auto& attribute : info.characteristics) {
            tags[{attribute.service, attribute.characteristic}] = attribute.tag;
        }
        auto received = [&](const std::string& payload) {
            try {
                for (const auto& write : world.receivedWrites(info.id)) {
                    if (write.data == payload) {
                        return true;
                    }
                }
            } catch (const std::out_of_range&) {
            }
            return false;
        };
        std::vector<SentWrite> sent;
        {
            std::lock_guard<std::mutex> lock(devices_[d]->mutex);
            sent = devices_[d]->sent;
        }
        std::set<const Attribute*> lossy;
        {
            std::lock_guard<std::mutex> lock(devices_[d]->mutex);
            lossy = devices_[d]->lossy;
        }
        for (const auto& write : sent) {
            if (lossy.count(write.attribute)) {
                continue;  // the device itself may have dropped it
            }
            const auto link_kept = [&] {
                return devices_[d]->platform->state() == platform::CBPeripheralState::Connected && write.before &&
                       write.before == write.after && first_service(static_cast<unsigned>(d)) == write.before;
            };
            if (link_kept() && !test_support::eventually([&] { return received(write.payload) || !link_kept(); }, 3s)) {
                fail("write_command() of " + printable(write.payload) + " returned, but it never reached " + info.id +
                     ", whose link stayed up");
            }
        }
        try {
            for (const auto& write : world.receivedWrites(info.id)) {
                const auto it = tags.find({write.service_uuid, write.characteristic_uuid});
                if (it != tags.end() && !starts_with(write.data, it->second)) {
                    fail(printable(write.data) + " was written to " + write.characteristic_uuid +
                         ", another attribute than it was meant for");
                }
            }
        } catch (const std::out_of_range&) {
        }
    }
}

// Whatever the run left behind, a peripheral must be usable again once its device behaves: disconnect()
// returns (unless the old device left a disconnection hanging), connect() makes a new link whose attributes
// answer, and disconnect() ends it.
void Run::check_recovery() {
    auto& world = platform::sim::World::get();
    if (auto backend = adapter_backend_.lock()) {
        Adapter adapter = Tavrin::AdapterBuilder(backend);
        call("recovery: scan_stop()", 0, 5s, [&] {
            adapter.set_callback_on_scan_found({});
            adapter.scan_stop();
        });
    }
    for (size_t d = 0; d < devices_.size(); ++d) {
        auto backend = devices_[d]->backend.lock();
        if (!backend) {
            continue;
        }
        const unsigned device = static_cast<unsigned>(d);
        Peripheral p = Tavrin::PeripheralBuilder(backend);
        const Device& info = world_.devices[d];
        auto clean = info.config;
        clean.faults.clear();
        clean.connection = test_support::device(info.id).connection;
        clean.advertising.connectable = true;
        for (auto& service : clean.services) {
            service.faults.clear();
            for (auto& characteristic : service.characteristics) {
                characteristic.faults.clear();
                characteristic.notifications.reset();
                for (auto& descriptor : characteristic.descriptors) {
                    descriptor.faults.clear();
                }
            }
        }
        world.addPeripheral(clean);
        call("recovery: set_callback_on_connected()", 0, 60s, [&] { p.set_callback_on_connected({}); });
        install_disconnected(p, device, on_disconnected(device, 0));

        const auto& old = info.config.connection;
        const bool may_hang =
            old.disconnect == platform::sim::DisconnectBehaviour::Hang || old.disconnect_delay_ms >= 5000;
        call("recovery: disconnect()", may_hang ? unsigned{kFailed} : 0u, 5s, [&] { p.disconnect(); });
        if (!call("recovery: connect()", 0, 10s + std::chrono::seconds(info.discovery_steps), [&] { p.connect(); })) {
            continue;
        }
        for (const auto& attribute : info.characteristics) {
            if (attribute.properties & platform::CBCharacteristicPropertyRead) {
                std::string value;
                if (call("recovery: read()", 0, 1s,
                         [&] { value = p.read(attribute.service, attribute.characteristic); }) &&
                    !value.empty() && !starts_with(value, attribute.tag)) {
                    fail("recovery: read() of " + attribute.characteristic + " gave " + printable(value));
                }
                break;
            }
        }
        for (const auto& attribute : info.characteristics) {
            if (attribute.properties & platform::CBCharacteristicPropertyWriteWithoutResponse) {
                const std::string payload = attribute.tag + "!";
                if (call("recovery: write_command()", 0, 1s,
                         [&] { p.write_command(attribute.service, attribute.characteristic, payload); }) &&
                    !test_support::eventually([&] {
                        for (const auto& write : world.receivedWrites(info.id)) {
                            if (write.data == payload) {
                                return true;
                            }
                        }
                        return false;
                    })) {
                    fail("recovery: write_command() returned, but " + info.id + " never received it");
                }
                break;
            }
        }
        call("recovery: disconnect()", 0, 5s, [&] { p.disconnect(); });
    }
}

// Drops every handle the run still holds; true once every backend is gone.
bool Run::release_everything() {
    for (auto& caller : callers_) {
        caller->handles.clear();
        caller->adapter = Adapter();
    }
    {
        std::lock_guard<std::mutex> lock(adapter_mutex_);
        adapter_pool_ = Adapter();
    }
    for (auto& device : devices_) {
        std::lock_guard<std::mutex> lock(device->mutex);
        device->pool = Peripheral();
    }
    const bool released = test_support::eventually(
        [&] {
            for (auto& device : devices_) {
                if (!device->backend.expired()) {
                    return false;
                }
            }
            return adapter_backend_.expired();
        },
        10s);
    for (auto& device : devices_) {
        device->platform.reset();
    }
    return released;
}

std::string Run::execute() {
    platform::sim::World::get().reset(world_.config);
    Random random(seed_);
    const unsigned style = pick(random, 0, 9);
    pair_ = style < 6 ? 0 : style < 8 ? 2 : 4;
    for (size_t d = 0; d < world_.devices.size(); ++d) {
        devices_.push_back(std::make_unique<DeviceState>());
    }

    // Find every device, and hand the handles out.
    {
        Adapter adapter = Adapter::get_adapters().at(0);
        adapter_backend_ = adapter_test::AdapterPeek(adapter).backend();
        std::vector<Peripheral> found;
        adapter.scan_start();
        test_support::eventually([&] {
            found = adapter.scan_get_results();
            return found.size() == world_.devices.size();
        });
        adapter.scan_stop();
        if (found.size() != world_.devices.size()) {
            return "only " + std::to_string(found.size()) + " of the world's devices were found";
        }
        for (auto& p : found) {
            const int d = device_of(p);
            if (d < 0) {
                return failure_;
            }
            DeviceState& state = *devices_[static_cast<size_t>(d)];
            state.pool = p;
            state.backend = adapter_test::PeripheralPeek(p).weak();
            const Device& info = world_.devices[static_cast<size_t>(d)];
            for (size_t c = 0; c < info.characteristics.size(); ++c) {
                if (info.write_fault[c]) {
                    state.lossy.insert(&info.characteristics[c]);
                }
            }
            state.platform = static_cast<platform::CBPeripheral*>(p.underlying())->shared_from_this();
            install_disconnected(p, static_cast<unsigned>(d), on_disconnected(static_cast<unsigned>(d), pair_));
            p.set_callback_on_connected(on_connected(static_cast<unsigned>(d), pair_));
        }
        adapter_pool_ = adapter;
        const unsigned threads = pick(random, 2, 4);
        for (unsigned t = 0; t < threads; ++t) {
            auto caller = std::make_unique<Caller>(seed_ * 1000003 + t);
            caller->adapter = adapter;
            for (auto& device : devices_) {
                caller->handles.push_back(device->pool);
            }
            callers_.push_back(std::move(caller));
        }
    }

    std::thread world([this] { world_loop(); });
    std::atomic<unsigned> finished{0};
    std::vector<std::thread> threads;
    for (auto& caller : callers_) {
        threads.emplace_back([this, &caller, &finished] {
            tls.caller = caller.get();
            const unsigned steps = pick(caller->random, 8, 24);
            for (unsigned i = 0; i < steps; ++i) {
                step(*caller);
                std::this_thread::sleep_for(std::chrono::milliseconds(pick(caller->random, 0, 15)));
            }
            caller->handles.clear();  // perhaps the last handles, while events still come
            ++finished;
        });
    }
    if (!test_support::eventually([&] { return finished.load() == threads.size(); }, 180s)) {
        std::string report = "a call never returned:";
        for (auto& caller : callers_) {
            std::lock_guard<std::mutex> lock(caller->mutex);
            report += " [" + caller->doing + "]";
        }
        // They cannot be unwound: the process ends with the report.
        for (auto& thread : threads) {
            thread.detach();
        }
        world.detach();
        return report + " (hung)";
    }
    for (auto& thread : threads) {
        thread.join();
    }
    stop_world_ = true;
    world.join();

    check_writes();
    check_recovery();
    if (!release_everything()) {
        fail("a backend was still alive 10 s after its last handle went (hung)");
    }
    std::lock_guard<std::mutex> lock(failure_mutex_);
    return failure_;
}

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!value) {
            return false;
        }
        ++i;
        if (arg == "--seed") {
            options.first = std::strtoull(value, nullptr, 10);
            options.count = 1;
        } else if (arg == "--seeds") {
            const char* colon = std::strchr(value, ':');
            if (!colon) {
                return false;
            }
            options.first = std::strncmp(value, "random", 6) == 0 ? std::random_device{}() % 1000000000u
                                                                  : std::strtoull(value, nullptr, 10);
            options.count = std::strtoull(colon + 1, nullptr, 10);
        } else if (arg == "--seconds") {
            options.seconds = std::atof(value);
        } else if (arg == "--verbose") {
            options.verbose = std::atoi(value) != 0;
        } else if (arg == "--slack-ms") {
            options.slack = std::chrono::milliseconds(std::atoll(value));
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace
}  // namespace seqfuzz

int main(int argc, char** argv) {
    using namespace seqfuzz;
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: %s [--seed N | --seeds FIRST:COUNT | --seeds random:COUNT] [--seconds S] [--slack-ms MS] "
                     "[--verbose 1]\n",
                     argv[0]);
        return 2;
    }
    ::setenv("TAVRIN_SIM_WORLD", "default", 0);
    // The library's records and the platform's console lines are the fuzzer's noise; the last lines are kept
    // for a failure's report.
    Tavrin::Logging::Logger::get()->set_callback({});
    auto console = std::make_shared<std::pair<std::mutex, std::deque<std::string>>>();
    platform::NSLogSetSink([console](const std::string& line) {
        std::lock_guard<std::mutex> lock(console->first);
        console->second.push_back(line);
        if (console->second.size() > 30) {
            console->second.pop_front();
        }
    });

    const auto start = Clock::now();
    uint64_t run = 0;
    std::printf("seqfuzz: seeds from %llu\n", static_cast<unsigned long long>(options.first));
    std::fflush(stdout);
    for (; run < options.count; ++run) {
        if (options.seconds > 0 && Clock::now() - start >= std::chrono::duration<double>(options.seconds)) {
            break;
        }
        const uint64_t seed = options.first + run;
        std::string failure;
        std::string summary;
        {
            const auto began = Clock::now();
            {
                std::lock_guard<std::mutex> lock(console->first);
                console->second.clear();
            }
            Run one(seed, options);
            failure = one.execute();
            summary = one.summary();
            if (options.verbose) {
                std::printf("seed %llu (%s): %lld ms\n", static_cast<unsigned long long>(seed), summary.c_str(),
                            ms(Clock::now() - began));
                std::fflush(stdout);
            }
            if (!failure.empty()) {
                {
                    std::lock_guard<std::mutex> lock(console->first);
                    for (const auto& line : console->second) {
                        std::fprintf(stderr, "  console: %s\n", line.c_str());
                    }
                }
                std::fprintf(
                    stderr, "seqfuzz: seed %llu (%s) FAILED: %s | reproduce: TAVRIN_SIM_WORLD=default %s --seed %llu\n",
                    static_cast<unsigned long long>(seed), summary.c_str(), failure.c_str(), argv[0],
                    static_cast<unsigned long long>(seed));
                std::fflush(stderr);
                // A run that hung or kept a backend cannot be unwound: its callbacks may still use it.
                std::_Exit(1);
            }
        }
    }
    std::printf("seqfuzz: %llu seeds from %llu clean in %.0f s\n", static_cast<unsigned long long>(run),
                static_cast<unsigned long long>(options.first),
                std::chrono::duration<double>(Clock::now() - start).count());
    return 0;
}
