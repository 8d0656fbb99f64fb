#pragma once
// One local service as bluetoothd's GATT database takes it from a program: an application root with an
// ObjectManager, the org.bluez.GattService1 object below it, an org.bluez.GattCharacteristic1 per characteristic and
// an org.bluez.GattDescriptor1 per descriptor. Registered with GattManager1.RegisterApplication by the session,
// one application per service, so that services come and go one by one.
//
// Calls to these objects are taken only from bluetoothd (the owner of org.bluez); anyone else is refused with
// org.bluez.Error.NotAuthorized. Everything here runs on the session's loop thread.

#include <sdbus-c++/sdbus-c++.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/RadioPeripheral.h"

namespace platform::bluez::peripheral {

/// Where an application's calls go: the session.
class GattSink {
  public:
    virtual ~GattSink() = default;
    /// Whether the call comes from bluetoothd.
    virtual bool fromDaemon(const sdbus::MethodCall& call) const = 0;
    /// The central a device object of the adapter names ("/org/bluez/hci1/dev_AA_BB_CC_DD_EE_FF").
    virtual radio::CentralKey centralAt(const std::string& devicePath) = 0;
    /// A read or write for the program; the call is answered through the session.
    virtual void read(radio::ReadRequest request, sdbus::MethodCall call) = 0;
    virtual void write(radio::WriteRequest request, sdbus::MethodCall call) = 0;
    /// The first subscription came (bluetoothd's StartNotify), or the last went (StopNotify).
    virtual void notifying(radio::LocalAttributeId characteristic, bool on) = 0;
};

class GattApplication {
  public:
    /// Builds and exports the objects under `root` on the connection. Throws sdbus::Error when the bus refuses.
    GattApplication(sdbus::IConnection& connection, std::string root, const radio::LocalService& service,
                    GattSink& sink);
    ~GattApplication();
    GattApplication(const GattApplication&) = delete;
    GattApplication& operator=(const GattApplication&) = delete;

    /// The path RegisterApplication takes.
    const std::string& root() const { return root_; }
    radio::LocalAttributeId service() const { return serviceId_; }
    bool contains(radio::LocalAttributeId attribute) const;

    /// The characteristic's value changed: its Value property says so, which bluetoothd sends to the subscribed
    /// centrals. False when the characteristic is not this service's.
    bool updateValue(radio::LocalAttributeId characteristic, const std::string& value);
    /// bluetoothd went: nobody is subscribed any more. Returns the characteristics that were notifying.
    std::vector<radio::LocalAttributeId> dropSubscriptions();

  private:
    struct Attribute {
        radio::LocalAttributeId id = 0;
        std::string path;
        bool descriptor = false;
        radio::AttributePermissions permissions = 0;
        std::optional<std::string> fixed;  // answered here
        std::vector<uint8_t> value;        // the Value property
        bool notifying = false;
        std::unique_ptr<sdbus::IObject> object;
    };
    void exportCharacteristic(Attribute& a, const radio::LocalCharacteristic& c, const std::string& servicePath);
    void exportDescriptor(Attribute& a, const radio::LocalDescriptor& d, const std::string& characteristicPath);
    void readValue(Attribute& a, sdbus::MethodCall& call);
    void writeValue(Attribute& a, sdbus::MethodCall& call);
    void setNotifying(Attribute& a, sdbus::MethodCall& call, bool on);
    bool refused(sdbus::MethodCall& call) const;

    GattSink& sink_;
    const std::string root_;
    const radio::LocalAttributeId serviceId_;
    std::unique_ptr<sdbus::IObject> rootObject_;
    std::unique_ptr<sdbus::IObject> serviceObject_;
    // Attributes by id; a std::map so that their addresses stay put for the handlers that point at them.
    std::map<radio::LocalAttributeId, Attribute> attributes_;
};

// bluetoothd's vocabulary, apart for what it must keep (unit tests).

/// The Flags of a characteristic: its properties, with the permissions' security on reads, writes and
/// subscriptions (encrypt-read, encrypt-authenticated-write, encrypt-notify, ...). Never empty: bluetoothd refuses an
/// attribute without flags, so one with no property gets "read" and its reads are refused here.
std::vector<std::string> characteristicFlags(const radio::LocalCharacteristic& characteristic);
/// The Flags of a descriptor, from its permissions alone; never empty either.
std::vector<std::string> descriptorFlags(const radio::LocalDescriptor& descriptor);
/// The D-Bus error bluetoothd turns into the ATT error `code` for the central (org.bluez.Error.Failed with "0x80"
/// to "0x9f" for an application's own codes). Codes bluetoothd has no name for come out as 0x0e (unlikely error).
sdbus::Error attErrorReply(CBATTError code);

}  // namespace platform::bluez::peripheral
