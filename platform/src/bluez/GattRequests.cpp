// GATT requests: service discovery (answered once bluetoothd has resolved the services and the MTU is known),
// reads and writes, and the request table that matches each reply to its caller, late replies included.

#include <algorithm>
#include <cstring>

#include "Core.h"

namespace platform::bluez {

namespace {

// A write's type: "request", "command", or none at all (a descriptor's write).
bool isCommand(const char* type) {
    return type != nullptr && std::strcmp(type, "command") == 0;
}

}  // namespace

// ---- Discovery of the attribute tree ----

void Core::discoverServices(uint64_t id, const std::string& address, ServicesDone done) {
    if (!linkUp(id, address)) {
        const NSError error = notConnectedError();
        complete(id, [&] { done(&error, {}); });
        return;
    }
    if (runtime_[address].tree == TreeState::Ready) {
        const auto services = servicesOf(address);
        complete(id, [&] { done(nullptr, services); });
        return;
    }
    Request request;
    request.central = id;
    request.address = address;
    request.discovery = true;
    request.servicesDone = std::move(done);
    const uint64_t call = addRequest(std::move(request));
    requests_[call].timer =
        loop_.after(limitsFor(id, address).serviceDiscovery, [call](Core& core) REQUIRES(core.mutex_) {
            core.answer(call, CBErrorMake(CBError::ConnectionTimeout,
                                          "bluetoothd did not resolve the device's services in time."));
        });
    ensureResolved(address);
}

void Core::discoverCharacteristics(uint64_t id, const std::string& address, AttributeHandle service,
                                   CharacteristicsDone done) {
    listChildren<CharacteristicInfo>(id, address, service, AttributeKind::Service, AttributeKind::Characteristic, done,
                                     [](const AttributeObject& a, const CBUUID& uuid) {
                                         return CharacteristicInfo{a.handle, uuid, a.properties};
                                     });
}

void Core::discoverDescriptors(uint64_t id, const std::string& address, AttributeHandle characteristic,
                               DescriptorsDone done) {
    listChildren<DescriptorInfo>(id, address, characteristic, AttributeKind::Characteristic, AttributeKind::Descriptor,
                                 done, [](const AttributeObject& a, const CBUUID& uuid) {
                                     return DescriptorInfo{a.handle, uuid};
                                 });
}

// The attributes of `kind` under `parent`, in handle order, as `make` describes them; an error without the link
// or the parent.
template <typename Info, typename Done, typename Make>
void Core::listChildren(uint64_t id, const std::string& address, AttributeHandle parent, AttributeKind parentKind,
                        AttributeKind kind, Done& done, Make make) {
    std::vector<Info> found;
    const NSError* error = nullptr;
    NSError failure;
    if (!linkUp(id, address)) {
        failure = notConnectedError();
        error = &failure;
    } else if (!attributeByHandle(address, parent, parentKind)) {
        failure = unknownAttributeError();
        error = &failure;
    } else {
        forEachAttribute(address, [&](const AttributeObject& a) {
            if (a.kind == kind && a.parent == parent && a.uuid) {
                if (const auto uuid = uuidFromBluez(*a.uuid)) {
                    found.push_back(make(a, *uuid));
                }
            }
        });
        std::sort(found.begin(), found.end(), [](const auto& x, const auto& y) { return x.handle < y.handle; });
    }
    complete(id, [&] { done(error, found); });
}

// The attribute of a device this central has a link to; null without the link or the attribute.
const AttributeObject* Core::linkedAttribute(uint64_t id, const std::string& address, AttributeHandle handle,
                                             AttributeKind kind) {
    return linkUp(id, address) ? attributeByHandle(address, handle, kind) : nullptr;
}

const AttributeObject* Core::attributeByHandle(const std::string& address, AttributeHandle handle,
                                               AttributeKind kind) const {
    const AttributeObject* found = nullptr;
    forEachAttribute(address, [&](const AttributeObject& a) {
        if (!found && a.kind == kind && a.handle == handle) {
            found = &a;
        }
    });
    return found;
}

std::vector<ServiceInfo> Core::servicesOf(const std::string& address) const {
    std::vector<ServiceInfo> services;
    forEachAttribute(address, [&](const AttributeObject& a) {
        if (a.kind == AttributeKind::Service && a.primary && a.uuid) {
            if (const auto uuid = uuidFromBluez(*a.uuid)) {
                services.push_back(ServiceInfo{a.handle, *uuid});
            }
        }
    });
    std::sort(services.begin(), services.end(), [](const auto& x, const auto& y) { return x.handle < y.handle; });
    return services;
}

// Discovery is answered once ServicesResolved is true and the MTU is known (bluetoothd exposes it only on
// characteristics, and only while connected).
void Core::ensureResolved(const std::string& address) {
    const DeviceObject* device = deviceByAddress(address);
    if (!device || !device->connected || !device->servicesResolved) {
        return;
    }
    auto& rt = runtime_[address];
    if (rt.tree != TreeState::Unresolved && rt.tree != TreeState::LookedAgain) {
        return;
    }
    const AttributeObject* first = nullptr;
    forEachAttribute(address, [&](const AttributeObject& a) {
        if (!first && a.kind == AttributeKind::Characteristic) {
            first = &a;
        }
    });
    if (!first && rt.tree == TreeState::Unresolved) {
        rt.tree = TreeState::LookingAgain;
        const uint64_t generation = generation_;
        loop_.after(kEmptyTreeGrace, [address, generation](Core& core) REQUIRES(core.mutex_) {
            const auto waiting = core.runtime_.find(address);
            if (generation != core.generation_ || waiting == core.runtime_.end() ||
                waiting->second.tree != TreeState::LookingAgain) {
                return;
            }
            waiting->second.tree = TreeState::LookedAgain;
            core.ensureResolved(address);
        });
        return;
    }
    if (!first) {
        resolved(address, kDefaultMtu);
        return;
    }
    rt.tree = TreeState::FetchingMtu;
    const unsigned cached = first->mtu.value_or(kDefaultMtu);
    const uint64_t generation = generation_;
    callBluez(first->path, kProperties, "Get", {std::string(kCharacteristicInterface), std::string("MTU")},
              kRequestTimeout,
              [address, cached, generation](Core& core, BusMessage* reply, const NSError* error) REQUIRES(core.mutex_) {
                  if (generation != core.generation_) {
                      return;
                  }
                  const auto fetching = core.runtime_.find(address);
                  if (fetching == core.runtime_.end() || fetching->second.tree != TreeState::FetchingMtu) {
                      return;
                  }
                  unsigned mtu = cached;
                  if (!error) {
                      try {
                          const sdbus::Variant value = reply->readVariant();
                          if (value.containsValueOfType<uint16_t>()) {
                              mtu = value.get<uint16_t>();
                          }
                      } catch (const std::exception&) {
                      }
                  }
                  const DeviceObject* now = core.deviceByAddress(address);
                  if (now && now->connected && now->servicesResolved) {
                      core.resolved(address, mtu);
                  } else {
                      fetching->second.tree = TreeState::Unresolved;
                  }
              });
}

void Core::resolved(const std::string& address, unsigned mtu) {
    auto& rt = runtime_[address];
    rt.tree = TreeState::Ready;
    rt.mtu = std::clamp(mtu, kDefaultMtu, 517u);
    {
        MutexLock lock(snapshotMutex_);
        mtus_[address] = rt.mtu;
    }
    trace_("link {}: services resolved, MTU {}", address, rt.mtu);
    std::vector<uint64_t> waiting;
    for (const auto& [call, request] : requests_) {
        if (request.discovery && request.address == address) {
            waiting.push_back(call);
        }
    }
    const auto services = servicesOf(address);
    for (const uint64_t call : waiting) {
        auto request = takeRequest(call);
        if (request) {
            complete(request->central, [&] { request->servicesDone(nullptr, services); });
        }
    }
}

// ---- Reads and writes ----

void Core::read(uint64_t id, const std::string& address, AttributeHandle handle, bool descriptor, ValueDone done) {
    const AttributeKind kind = descriptor ? AttributeKind::Descriptor : AttributeKind::Characteristic;
    const AttributeObject* attribute = linkedAttribute(id, address, handle, kind);
    if (!attribute) {
        const NSError error = linkUp(id, address) ? unknownAttributeError() : notConnectedError();
        complete(id, [&] { done(&error, {}); });
        return;
    }
    sendRead(id, address, handle, descriptor, attribute->path, std::move(done));
}

void Core::write(uint64_t id, const std::string& address, AttributeHandle handle, bool descriptor, const char* type,
                 const std::string& value, Done done) {
    const AttributeKind kind = descriptor ? AttributeKind::Descriptor : AttributeKind::Characteristic;
    const AttributeObject* attribute = linkedAttribute(id, address, handle, kind);
    if (!attribute) {
        const NSError error = linkUp(id, address) ? unknownAttributeError() : notConnectedError();
        complete(id, [&] { done(&error); });
        return;
    }
    sendWrite(id, address, handle, descriptor, type, value, attribute->path, std::move(done));
}

void Core::sendRead(uint64_t id, const std::string& address, AttributeHandle handle, bool descriptor,
                    const std::string& path, ValueDone done) {
    Request request;
    request.central = id;
    request.address = address;
    request.handle = handle;
    request.read = !descriptor;
    request.valueDone = std::move(done);
    const uint64_t call = addRequest(std::move(request));
    if (!descriptor) {
        ++runtime_[address].reads[handle].pending;
    }
    callBluez(path, descriptor ? kDescriptorInterface : kCharacteristicInterface, "ReadValue", {PropMap{}},
              limitsFor(id, address).request,
              [call](Core& core, BusMessage* reply, const NSError* error) REQUIRES(core.mutex_) {
                  if (error) {
                      core.answerUnlessTimedOut(call, *error);
                      return;
                  }
                  std::string value;
                  try {
                      reply->readBytes(value);
                  } catch (const std::exception& e) {
                      core.answer(call, badReplyError(e.what()));
                      return;
                  }
                  core.answerValue(call, value);
              });
}

void Core::sendWrite(uint64_t id, const std::string& address, AttributeHandle handle, bool descriptor, const char* type,
                     const std::string& value, const std::string& path, Done done) {
    Request request;
    request.central = id;
    request.address = address;
    request.handle = handle;
    request.descriptor = descriptor;
    request.done = std::move(done);
    const uint64_t call = addRequest(std::move(request));
    if (!isCommand(type)) {
        // The caller's limit; the attribute stays busy until bluetoothd answers all the same.
        requests_[call].timer = loop_.after(limitsFor(id, address).request,
                                            [call](Core& core) REQUIRES(core.mutex_) { core.writeGivenUp(call); });
    }
    const WriteKey key{handle, descriptor};
    runtime_[address].writes[key].waiting.push_back(QueuedWrite{call, path, type, value});
    pumpWrites(address, key);
}

// The writes waiting go, in order, up to the next write with response, or up to one that waits for the write
// socket (acquired, released, or with room again).
void Core::pumpWrites(const std::string& address, const WriteKey& key) {
    const auto rt = runtime_.find(address);
    if (rt == runtime_.end()) {
        return;
    }
    const auto it = rt->second.writes.find(key);
    if (it == rt->second.writes.end()) {
        return;
    }
    WriteQueue& queue = it->second;
    while (queue.inFlight == 0 && !queue.waiting.empty()) {
        if (!requests_.count(queue.waiting.front().call)) {  // its caller may have gone (a link closed by one central)
            queue.waiting.pop_front();
            continue;
        }
        if (!key.second) {
            bool keepWaiting = false;
            if (writeBySocket(address, key.first, queue.waiting.front(), keepWaiting)) {
                if (keepWaiting) {
                    return;
                }
                queue.waiting.pop_front();
                continue;
            }
        }
        QueuedWrite next = std::move(queue.waiting.front());
        queue.waiting.pop_front();
        putWrite(address, key, std::move(next));
    }
}

// Puts one write on the bus. A command is answered by bluetoothd once queued for the link and keeps nothing busy;
// a write with response keeps the attribute busy until its answer.
void Core::putWrite(const std::string& address, const WriteKey& key, QueuedWrite write) {
    const bool command = isCommand(write.type);
    if (!command) {
        runtime_[address].writes[key].inFlight = write.call;
    }
    callBluez(write.path, key.second ? kDescriptorInterface : kCharacteristicInterface, "WriteValue",
              {ByteArray{std::move(write.value)}, WriteOptions{write.type}}, command ? kRequestTimeout : kAttTimeout,
              [address, key, call = write.call, command](Core& core, BusMessage*, const NSError* error)
                  REQUIRES(core.mutex_) {
                      if (error) {
                          core.answerUnlessTimedOut(call, *error);
                      } else {
                          core.answerDone(call);
                      }
                      if (!command) {
                          core.writeSettled(address, key, call);
                      }
                  });
}

// bluetoothd answered the write that kept the attribute busy: the writes waiting behind it go, in order, up to the
// next write with response.
void Core::writeSettled(const std::string& address, const WriteKey& key, uint64_t call) {
    const auto rt = runtime_.find(address);
    if (rt == runtime_.end()) {
        return;
    }
    const auto it = rt->second.writes.find(key);
    if (it == rt->second.writes.end() || it->second.inFlight != call) {
        return;  // the link went down meanwhile, and the queue with it
    }
    it->second.inFlight = 0;
    pumpWrites(address, key);
}

// The caller's limit passed: it hears nothing more. A write still waiting is not sent; one bluetoothd has keeps
// the attribute busy until its answer.
void Core::writeGivenUp(uint64_t call) {
    const auto request = takeRequest(call);
    if (!request) {
        return;
    }
    sayIfPairingOutlasted(*request);
    const auto rt = runtime_.find(request->address);
    if (rt == runtime_.end()) {
        return;
    }
    const WriteKey key{request->handle, request->descriptor};
    const auto it = rt->second.writes.find(key);
    if (it != rt->second.writes.end()) {
        auto& waiting = it->second.waiting;
        waiting.erase(
            std::remove_if(waiting.begin(), waiting.end(), [&](const QueuedWrite& w) { return w.call == call; }),
            waiting.end());
        pumpWrites(request->address, key);  // it may have been the one the write socket's release was for
    }
}

// ---- The request table ----

uint64_t Core::addRequest(Request request) {
    const uint64_t id = ++nextCall_;
    requests_[id] = std::move(request);
    return id;
}

// Removes a request; a read's bookkeeping is settled with its value (or none).
std::optional<Core::Request> Core::takeRequest(uint64_t call, const std::optional<std::string>& value) {
    const auto it = requests_.find(call);
    if (it == requests_.end()) {
        return std::nullopt;
    }
    Request request = std::move(it->second);
    requests_.erase(it);
    loop_.cancel(request.timer);
    if (request.read) {
        readSettled(request, value);
    }
    return request;
}

void Core::answer(uint64_t call, const NSError& error) {
    auto request = takeRequest(call);
    if (!request) {
        return;  // abandoned: a late reply
    }
    complete(request->central, [&] {
        if (request->valueDone) {
            request->valueDone(&error, {});
        } else if (request->done) {
            request->done(&error);
        } else if (request->servicesDone) {
            request->servicesDone(&error, {});
        }
    });
}

// A GATT request's own timeout is the backend's: when the bus gives up later than it did, an answer would land
// on the caller's next request to that attribute instead, so it is dropped unanswered.
void Core::answerUnlessTimedOut(uint64_t call, const NSError& error) {
    if (isTimeout(error)) {
        if (const auto request = takeRequest(call)) {
            sayIfPairingOutlasted(*request);
        }
    } else {
        answer(call, error);
    }
}

void Core::answerValue(uint64_t call, const std::string& value) {
    auto request = takeRequest(call, value);
    if (request && request->valueDone) {
        complete(request->central, [&] { request->valueDone(nullptr, value); });
    }
}

void Core::answerDone(uint64_t call) {
    auto request = takeRequest(call);
    if (request && request->done) {
        complete(request->central, [&] { request->done(nullptr); });
    }
}

void Core::failRequests(const std::function<bool(const Request&)>& match, const NSError& error) {
    std::vector<uint64_t> calls;
    for (const auto& [call, request] : requests_) {
        if (match(request)) {
            calls.push_back(call);
        }
    }
    for (const uint64_t call : calls) {
        answer(call, error);
    }
}

void Core::dropRequests(const std::function<bool(const Request&)>& match) {
    for (auto it = requests_.begin(); it != requests_.end();) {
        if (match(it->second)) {
            loop_.cancel(it->second.timer);
            it = requests_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace platform::bluez
