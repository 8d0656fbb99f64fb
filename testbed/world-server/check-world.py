#!/usr/bin/python3
# The world server's proof on the real stack, run in the testbed with check-world.json: from hci0, the plug is found
# under its controller's address with its name, service and both companies' data; connected, it reads, refuses a read
# with the error its fault gives, takes a command with response and counts the timer down in notifications.
import sys
import dbus
import dbus.mainloop.glib
from gi.repository import GLib

PLUG = "fb1e4001-54ae-4a28-9f74-dfccb248601d"
COMMAND = "fb1e4002-54ae-4a28-9f74-dfccb248601d"
STATUS = "fb1e4003-54ae-4a28-9f74-dfccb248601d"
NAME = "Tavrin Plug"
# hci1's own address.
ADDRESS = "00:AA:01:01:00:01"

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SystemBus()
loop = GLib.MainLoop()
failures = []
notified = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)


def wait_for(condition, seconds):
    deadline = GLib.get_monotonic_time() + int(seconds * 1e6)
    while not condition() and GLib.get_monotonic_time() < deadline:
        GLib.MainContext.default().iteration(True)
    return condition()


def objects():
    om = dbus.Interface(bus.get_object("org.bluez", "/"), "org.freedesktop.DBus.ObjectManager")
    return om.GetManagedObjects()


def find(uuid, interface, under):
    for path, ifaces in objects().items():
        if path.startswith(under) and interface in ifaces and ifaces[interface]["UUID"] == uuid:
            return path
    return None


def on_changed(interface, changed, invalidated, path=None):
    if interface == "org.bluez.GattCharacteristic1" and "Value" in changed and path == status_path[0]:
        notified.append(bytes(changed["Value"]))


status_path = [None]
bus.add_signal_receiver(on_changed, dbus_interface="org.freedesktop.DBus.Properties",
                        signal_name="PropertiesChanged", path_keyword="path")
adapter = dbus.Interface(bus.get_object("org.bluez", "/org/bluez/hci0"), "org.bluez.Adapter1")
adapter.SetDiscoveryFilter({"Transport": "le", "DuplicateData": dbus.Boolean(True)})
adapter.StartDiscovery()
device_path = "/org/bluez/hci0/dev_" + ADDRESS.replace(":", "_")


def found():
    d = objects().get(device_path, {}).get("org.bluez.Device1")
    return d is not None and "Name" in d and "ManufacturerData" in d


check(wait_for(found, 30), "the plug is found under " + ADDRESS)
if failures:
    sys.exit(1)
d = objects()[device_path]["org.bluez.Device1"]
check(d["Name"] == NAME, "its name: %s" % d.get("Name"))
check(PLUG in [str(u) for u in d["UUIDs"]], "its service UUID")
companies = {int(k): bytes(v) for k, v in d["ManufacturerData"].items()}
check(companies == {0x004C: b"\x02\x15", 0x0059: b"\x01\x02"}, "both companies' data: %s" % companies)
adapter.StopDiscovery()

device = dbus.Interface(bus.get_object("org.bluez", device_path), "org.bluez.Device1")
device.Connect(timeout=30)
props = dbus.Interface(bus.get_object("org.bluez", device_path), "org.freedesktop.DBus.Properties")
check(wait_for(lambda: bool(props.Get("org.bluez.Device1", "ServicesResolved")), 30), "connected, services resolved")

maker = find("00002a29-0000-1000-8000-00805f9b34fb", "org.bluez.GattCharacteristic1", device_path)
model = find("00002a24-0000-1000-8000-00805f9b34fb", "org.bluez.GattCharacteristic1", device_path)
command = find(COMMAND, "org.bluez.GattCharacteristic1", device_path)
status_path[0] = find(STATUS, "org.bluez.GattCharacteristic1", device_path)
check(None not in (maker, model, command, status_path[0]), "the world's characteristics are there")
if failures:
    sys.exit(1)


def chrc(path):
    return dbus.Interface(bus.get_object("org.bluez", path), "org.bluez.GattCharacteristic1")


check(bytes(chrc(maker).ReadValue({})) == b"Tavrin Labs", "2A29 reads the world's value")
try:
    chrc(model).ReadValue({})
    check(False, "2A24's read fault gives an error")
except dbus.DBusException as e:
    check("0x0e" in str(e), "2A24's read fault gives an error: " + e.get_dbus_name() + " " + str(e))
check(bytes(chrc(status_path[0]).ReadValue({})) == b"\x00\x00\x00", "the status reads off")
chrc(status_path[0]).StartNotify()
chrc(command).WriteValue(dbus.ByteArray(b'\t{"switch":1,"timer":3}'), {"type": "request"})
expected = [b"\x01\x03\x00", b"\x01\x02\x00", b"\x01\x01\x00", b"\x00\x00\x00"]
check(wait_for(lambda: notified[-4:] == expected, 10), "the countdown is notified: %s" % [n.hex() for n in notified])
device.Disconnect()
print("%d passed, %d failed" % (10 - len(failures), len(failures)))
sys.exit(1 if failures else 0)
