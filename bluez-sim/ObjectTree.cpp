#include "ObjectTree.h"

#include <algorithm>
#include <stdexcept>

namespace bluezsim {

namespace {
// Every change is signalled by the tree's own queue, never by the bus library after a Set.
sdbus::Flags quiet() {
    sdbus::Flags flags;
    flags.set(sdbus::Flags::EMITS_NO_SIGNAL);
    return flags;
}

const char* const kProperties = "org.freedesktop.DBus.Properties";
const char* const kObjectManager = "org.freedesktop.DBus.ObjectManager";
}  // namespace

ObjectNode::ObjectNode(ObjectTree& tree, std::string path)
    : tree_(tree), path_(std::move(path)), core_(sdbus::createObject(tree.connection(), path_)) {}

ObjectNode::~ObjectNode() {
    tree_.forget(*this);
}

void ObjectNode::addMethod(const std::string& iface, const std::string& name, const std::string& in,
                           const std::string& out, Method method) {
    if (std::find(interfaces_.begin(), interfaces_.end(), iface) == interfaces_.end()) {
        interfaces_.push_back(iface);
    }
    core_->registerMethod(iface, name, in, out, std::move(method));
}

ObjectNode::Prop& ObjectNode::declare(const std::string& iface, const std::string& name, std::string signature,
                                      bool optional) {
    if (std::find(interfaces_.begin(), interfaces_.end(), iface) == interfaces_.end()) {
        interfaces_.push_back(iface);
    }
    auto& slot = props_[{iface, name}];
    slot = std::make_unique<Prop>();
    slot->iface = iface;
    slot->name = name;
    slot->signature = std::move(signature);
    slot->optional = optional;
    return *slot;
}

ObjectNode::Prop& ObjectNode::prop(const std::string& iface, const std::string& name) {
    auto it = props_.find({iface, name});
    if (it == props_.end()) {
        throw std::logic_error("no property " + iface + "." + name + " on " + path_);
    }
    return *it->second;
}

bool ObjectNode::has(const std::string& iface, const std::string& name) const {
    auto it = props_.find({iface, name});
    return it != props_.end() && it->second->present;
}

void ObjectNode::publish() {
    for (auto& [key, p] : props_) {
        if (p->optional) {
            continue;
        }
        Prop* raw = p.get();
        auto get = [this, raw](sdbus::PropertyGetReply& reply) {
            tree_.checkAllowed();
            raw->write(reply);
        };
        if (p->setter) {
            // The change goes out before the Set's reply, as every reply follows the signals queued before it.
            auto set = [this, raw](sdbus::PropertySetCall& call) {
                tree_.checkAllowed();
                raw->setter(call);
                tree_.flush();
            };
            core_->registerProperty(p->iface, p->name, p->signature, get, set, quiet());
        } else {
            core_->registerProperty(p->iface, p->name, p->signature, get, quiet());
        }
    }
    core_->finishRegistration();
    published_ = true;
    for (auto& [key, p] : props_) {
        if (p->optional && p->present) {
            registerHolder(*p);
        }
    }
}

void ObjectNode::registerHolder(Prop& p) {
    Prop* raw = &p;
    p.holder = sdbus::createObject(tree_.connection(), path_);
    p.holder->registerProperty(
        p.iface, p.name, p.signature,
        [this, raw](sdbus::PropertyGetReply& reply) {
            tree_.checkAllowed();
            raw->write(reply);
        },
        quiet());
    p.holder->finishRegistration();
}

void ObjectNode::becomePresent(Prop& p) {
    if (p.present) {
        return;
    }
    p.present = true;
    // A registration not yet collected serves again.
    if (published_ && !p.holder) {
        registerHolder(p);
    }
}

void ObjectNode::unset(const std::string& iface, const std::string& name, bool quietly) {
    Prop& p = prop(iface, name);
    if (!p.optional || !p.present) {
        return;
    }
    p.present = false;
    if (p.holder) {
        tree_.retire(*this, p);
    }
    if (!quietly) {
        changed(p, true);
    }
}

void ObjectNode::changed(Prop& p, bool invalidated) {
    if (announced_) {
        tree_.queue(*this, p.iface, p.name, invalidated);
    }
}

std::map<std::string, Properties> ObjectNode::interfacesAndProperties() const {
    std::map<std::string, Properties> out;
    for (const std::string& iface : interfaces_) {
        out[iface];
    }
    for (const auto& [key, p] : props_) {
        if (p->present) {
            out[p->iface][p->name] = p->variant;
        }
    }
    return out;
}

ObjectTree::ObjectTree(sdbus::IConnection& connection)
    : connection_(connection), root_(sdbus::createObject(connection, "/")) {
    root_->addObjectManager();
    root_->finishRegistration();
}

void ObjectTree::refuse(bool on) {
    refused_ = on;
    if (on && !refusal_) {
        refusal_ = sdbus::createObject(connection_, "/refused");
        refusal_->registerProperty(
            "org.tavrin.Refusal", "Refused", "b",
            [this](sdbus::PropertyGetReply& reply) {
                checkAllowed();
                reply << true;
            },
            quiet());
        refusal_->finishRegistration();
    } else if (!on) {
        refusal_.reset();
    }
}

void ObjectTree::checkAllowed() const {
    if (refused_) {
        throw sdbus::Error("org.freedesktop.DBus.Error.AccessDenied",
                           "Rejected send message, the process may not use Bluetooth");
    }
}

void ObjectTree::add(ObjectNode& node) {
    flush();
    if (!node.published_) {
        node.publish();
    }
    auto signal = root_->createSignal(kObjectManager, "InterfacesAdded");
    signal << sdbus::ObjectPath(node.path()) << node.interfacesAndProperties();
    root_->emitSignal(signal);
    node.announced_ = true;
}

void ObjectTree::remove(ObjectNode& node) {
    flush();
    if (!node.announced_) {
        return;
    }
    auto signal = root_->createSignal(kObjectManager, "InterfacesRemoved");
    signal << sdbus::ObjectPath(node.path()) << node.interfaces();
    root_->emitSignal(signal);
    node.announced_ = false;
}

void ObjectTree::queue(ObjectNode& node, const std::string& iface, const std::string& name, bool invalidated) {
    auto [it, fresh] = pending_index_.try_emplace({&node, iface}, pending_.size());
    if (fresh) {
        pending_.push_back(Pending{&node, iface, {}, {}});
    }
    Pending& p = pending_[it->second];
    auto& into = invalidated ? p.invalidated : p.changed;
    auto& other = invalidated ? p.changed : p.invalidated;
    other.erase(std::remove(other.begin(), other.end(), name), other.end());
    if (std::find(into.begin(), into.end(), name) == into.end()) {
        into.push_back(name);
    }
}

void ObjectTree::retire(ObjectNode& node, ObjectNode::Prop& prop) {
    retired_.emplace_back(&node, &prop);
}

void ObjectTree::collect() {
    auto retired = std::move(retired_);
    retired_.clear();
    for (auto& [node, prop] : retired) {
        if (!prop->present) {
            prop->holder.reset();
        }
    }
}

void ObjectTree::forget(const ObjectNode& node) {
    retired_.erase(
        std::remove_if(retired_.begin(), retired_.end(), [&node](const auto& r) { return r.first == &node; }),
        retired_.end());
    if (pending_.empty()) {
        return;
    }
    for (Pending& p : pending_) {
        if (p.node == &node) {
            p.node = nullptr;
        }
    }
    for (auto it = pending_index_.begin(); it != pending_index_.end();) {
        it = it->first.first == &node ? pending_index_.erase(it) : std::next(it);
    }
}

void ObjectTree::flush() {
    // Emitting may not add to the queue, but take it first all the same.
    std::vector<Pending> batch;
    batch.swap(pending_);
    pending_index_.clear();
    for (const Pending& p : batch) {
        if (p.node == nullptr || !p.node->announced_) {
            continue;
        }
        Properties values;
        for (const std::string& name : p.changed) {
            const auto& prop = *p.node->props_.at({p.iface, name});
            if (prop.present) {
                values.emplace(name, prop.variant);
            }
        }
        auto signal = p.node->core_->createSignal(kProperties, "PropertiesChanged");
        signal << p.iface << values << p.invalidated;
        p.node->core_->emitSignal(signal);
    }
}

}  // namespace bluezsim
