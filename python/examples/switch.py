"""Switches a plug on (with a timer) or off, as tavrin-switch does.

    python3 switch.py <address> <on|off> [timer seconds]

The radio is the machine's (BlueZ), or the simulated world when TAVRIN_SIM_WORLD names one, e.g.
TAVRIN_SIM_WORLD=default python3 switch.py C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13 on 30
"""
import sys
import threading
from typing import List

import tavrin

PLUG_SERVICE = "fb1e4001-54ae-4a28-9f74-dfccb248601d"
COMMAND = "fb1e4002-54ae-4a28-9f74-dfccb248601d"
STATUS = "fb1e4003-54ae-4a28-9f74-dfccb248601d"


def main(address: str, mode: str, timer: str = "30") -> int:
    if not tavrin.Adapter.bluetooth_enabled():
        print("Bluetooth is not enabled!")
        return 1
    adapter = tavrin.Adapter.get_adapters()[0]
    found = threading.Event()
    plugs: List[tavrin.Peripheral] = []

    def on_found(peripheral: tavrin.Peripheral) -> None:  # runs on the library's event queue
        print("Found device: %s [%s]" % (peripheral.identifier(), peripheral.address()))
        if peripheral.address() == address:
            plugs.append(peripheral)
            found.set()

    adapter.set_callback_on_scan_found(on_found)
    adapter.scan_start()
    found.wait(5.0)
    adapter.scan_stop()
    if not plugs:
        print("Error: no device %s found" % address)
        return 1
    plug = plugs[0]
    print("Connecting to %s [%s]" % (plug.identifier(), plug.address()))
    plug.connect()
    try:
        command = '{"mode":3,"switch":1,"timer":%d}' % int(timer) if mode == "on" else '{"mode":3,"switch":0}'
        plug.write_request(PLUG_SERVICE, COMMAND, b"\t" + command.encode())
        status = plug.read(PLUG_SERVICE, STATUS)
        on, seconds = status[0], int.from_bytes(status[1:3], "little")
        print("Status: %s, %d s left (%s)" % ("on" if on else "off", seconds, status.hex(" ")))
    except tavrin.TavrinError as e:
        print("Failed: %s" % e)
        return 1
    finally:
        plug.disconnect()
    return 0


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:4]))
