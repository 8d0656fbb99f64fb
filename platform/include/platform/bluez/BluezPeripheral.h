#pragma once
// The peripheral role over bluetoothd (BlueZ 5.66), for one of its adapters: each service becomes a GATT
// application (GattManager1.RegisterApplication) and each advertisement an LEAdvertisement1
// (LEAdvertisingManager1.RegisterAdvertisement), served from objects on the session's own bus connection that take
// calls from bluetoothd alone. When bluetoothd restarts, the session registers everything again by itself.
//
// What bluetoothd 5.66 does with them, which a program on this radio meets:
// - Its own GATT service (0x1801) and Device Information (0x180A) come before the program's; the client
//   configuration descriptor (0x2902) of a characteristic that notifies or indicates is bluetoothd's own.
// - A write with response to a characteristic that also has write-without-response is answered by bluetoothd at
//   once, before the program sees it: the program's answer does not reach the central (`withResponse` is false).
// - bluetoothd names no write type; a write the central waits for is one bluetoothd sends wanting a reply.
// - Subscriptions are counted across centrals: the first one is `peripheralSubscribed`, the last one leaving
//   (or its link going, unless it is bonded) `peripheralUnsubscribed`; bluetoothd does not wait for an answer.
// - The ATT errors a program can give the central: read and write not permitted, request not supported, invalid
//   offset, insufficient authorization, invalid value length, and the application's own 0x80 to 0x9F; any other
//   comes to the central as 0x0E (unlikely error). Encryption and authentication are asked of the link by
//   bluetoothd itself, from the permissions, before the program sees the request.
// - A request the program does not answer within 5 s is answered by bluetoothd with 0x0E (its database's own
//   limit for an attribute's answer); a later answer is dropped.
// - A non-connectable advertisement carries no flags (bluetoothd refuses them), so centrals that scan without a
//   discovery filter do not list it. The transmit power bluetoothd includes is the controller's.

#include <memory>
#include <string>

#include "platform/RadioPeripheral.h"

namespace platform::bluez {

/// Opens a peripheral session on the adapter named `adapter` ("hci1") over the system bus (or the one
/// DBUS_SYSTEM_BUS_ADDRESS names). The session waits for bluetoothd and the adapter, and tells its listener the
/// adapter's state. Throws std::runtime_error when the bus cannot be reached.
std::shared_ptr<radio::RadioPeripheral> openBluezPeripheral(const std::string& adapter,
                                                            std::weak_ptr<radio::RadioPeripheralEvents> events);

}  // namespace platform::bluez
