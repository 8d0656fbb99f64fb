#pragma once
// The objects the simulator serves, and the signals that tell clients about them, emitted as bluetoothd emits
// them: property changes are queued per object and interface and go out as one PropertiesChanged each when
// the tree is flushed (before every method reply, and when the loop goes idle); InterfacesAdded carries every
// property present; optional properties are absent from Get, GetAll and GetManagedObjects while unset.
//
// The bus library answers Get, GetAll, Set and GetManagedObjects itself from registered tables, which cannot
// leave a property out. So each object has one
// registration with its methods and fixed properties, and each optional property that is present has a registration of
// its own on the same path and interface, made and dropped as the property comes and goes. Everything here runs on the
// loop's thread.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

namespace bluezsim {

class ObjectTree;

using Properties = std::map<std::string, sdbus::Variant>;

/// One object path: its interfaces, methods and properties.
class ObjectNode {
  public:
    using Method = std::function<void(sdbus::MethodCall call)>;
    /// Takes a Set's value from the call; throws sdbus::Error to refuse it.
    using Setter = std::function<void(sdbus::PropertySetCall& call)>;

    ObjectNode(ObjectTree& tree, std::string path);
    /// Unregisters without a signal (see ObjectTree::remove).
    ~ObjectNode();
    ObjectNode(const ObjectNode&) = delete;
    ObjectNode& operator=(const ObjectNode&) = delete;

    const std::string& path() const { return path_; }

    // Declarations, before publish(). Interfaces are listed in the order first named.
    void addMethod(const std::string& iface, const std::string& name, const std::string& in, const std::string& out,
                   Method method);
    /// A property that is always present.
    template <typename T>
    void addProperty(const std::string& iface, const std::string& name, const T& value, Setter setter = nullptr) {
        Prop& p = declare(iface, name, sdbus::signature_of<T>::str(), false);
        store(p, value);
        p.setter = std::move(setter);
    }
    /// A property that may be absent; absent until set.
    template <typename T>
    void addOptional(const std::string& iface, const std::string& name) {
        declare(iface, name, sdbus::signature_of<T>::str(), true);
    }

    /// Registers the object on the bus (no signal: ObjectTree::add announces it).
    void publish();

    /// Changes a property (making an optional one present); queues it for the next PropertiesChanged.
    template <typename T>
    void set(const std::string& iface, const std::string& name, const T& value) {
        Prop& p = prop(iface, name);
        store(p, value);
        becomePresent(p);
        changed(p, false);
    }
    /// Changes a property (making an optional one present) without a signal, as bluetoothd changes some.
    template <typename T>
    void setQuietly(const std::string& iface, const std::string& name, const T& value) {
        Prop& p = prop(iface, name);
        store(p, value);
        becomePresent(p);
    }
    /// Makes an optional property absent: listed as invalidated in the next PropertiesChanged, or with
    /// `quietly` not mentioned at all.
    void unset(const std::string& iface, const std::string& name, bool quietly = false);
    bool has(const std::string& iface, const std::string& name) const;

    std::map<std::string, Properties> interfacesAndProperties() const;
    std::vector<std::string> interfaces() const { return interfaces_; }

  private:
    friend class ObjectTree;
    struct Prop {
        std::string iface, name, signature;
        bool optional = false;
        bool present = false;
        sdbus::Variant variant;                      // the value, for signals
        std::function<void(sdbus::Message&)> write;  // the value, for the getter
        Setter setter;
        std::unique_ptr<sdbus::IObject> holder;  // an optional property's own registration while present
    };

    Prop& declare(const std::string& iface, const std::string& name, std::string signature, bool optional);
    Prop& prop(const std::string& iface, const std::string& name);
    template <typename T>
    static void store(Prop& p, const T& value) {
        p.variant = sdbus::Variant(value);
        p.write = [value](sdbus::Message& m) { m << value; };
        if (!p.optional) {
            p.present = true;
        }
    }
    void becomePresent(Prop& p);
    void registerHolder(Prop& p);
    void changed(Prop& p, bool invalidated);

    ObjectTree& tree_;
    std::string path_;
    std::unique_ptr<sdbus::IObject> core_;
    bool published_ = false;
    bool announced_ = false;  // InterfacesAdded went out: changes are signalled from now on
    std::vector<std::string> interfaces_;
    std::map<std::pair<std::string, std::string>, std::unique_ptr<Prop>> props_;
};

/// The whole tree: the object manager at "/" and the queue of property changes.
class ObjectTree {
  public:
    explicit ObjectTree(sdbus::IConnection& connection);
    sdbus::IConnection& connection() { return connection_; }

    /// Publishes `node` and emits InterfacesAdded for it (after the changes queued so far).
    void add(ObjectNode& node);
    /// Emits InterfacesRemoved for `node` (after the changes queued so far); the caller destroys it next.
    void remove(ObjectNode& node);
    /// Emits the queued PropertiesChanged signals, one per object and interface, in the order first queued.
    void flush();
    /// While on, every call to the tree (methods, Get, GetAll, Set, GetManagedObjects) is refused with
    /// AccessDenied, as a bus policy that keeps a user from the daemon refuses them; signals still go out. The
    /// library's own answers are refused through the property getters; an object of the refusal's own, with a
    /// property, is there while refused, so that the listing meets a getter even before any other has one.
    void refuse(bool on);
    bool refused() const { return refused_; }
    /// Throws the bus policy's refusal while refused.
    void checkAllowed() const;
    /// Drops the registrations of optional properties that went absent. Only outside the bus library's
    /// dispatch (the loop's idle step): a registration dropped inside a property Set makes the library lose that
    /// Set's reply.
    void collect();

  private:
    friend class ObjectNode;
    struct Pending {
        ObjectNode* node;
        std::string iface;
        std::vector<std::string> changed;
        std::vector<std::string> invalidated;
    };
    void queue(ObjectNode& node, const std::string& iface, const std::string& name, bool invalidated);
    void forget(const ObjectNode& node);
    void retire(ObjectNode& node, ObjectNode::Prop& prop);

    sdbus::IConnection& connection_;
    std::unique_ptr<sdbus::IObject> root_;
    bool refused_ = false;
    std::unique_ptr<sdbus::IObject> refusal_;  // present while refused
    std::vector<Pending> pending_;
    std::map<std::pair<const ObjectNode*, std::string>, size_t> pending_index_;
    std::vector<std::pair<const ObjectNode*, ObjectNode::Prop*>> retired_;  // absent, still registered
};

}  // namespace bluezsim
