"""Writes the race's world: the plug (answering and connecting without delay), a counter that notifies every
millisecond, a sink for writes without response, and 200 devices advertising every 100 ms."""
import json
import sys

COUNTER_SERVICE = "fb1e5001-54ae-4a28-9f74-dfccb248601d"
COUNTER_CHARACTERISTIC = "fb1e5002-54ae-4a28-9f74-dfccb248601d"
SINK_CHARACTERISTIC = "fb1e5003-54ae-4a28-9f74-dfccb248601d"
NOTIFICATIONS = 80000  # enough for every phase of a side without the counter wrapping


def counter_values(n):
    return ["%02x%02x%02x%02x" % (i & 0xFF, (i >> 8) & 0xFF, (i >> 16) & 0xFF, (i >> 24) & 0xFF) for i in range(n)]


def world(devices):
    plug = {
        "identifier": "C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13",
        "name": "Tavrin Plug",
        "model": "plug",
        "mtu": 185,
        "latency_ms": 0,
        # No connection set-up time either: connect + discovery then measures the libraries, not the world.
        "connection": {"delay_ms": 0},
        "advertising": {"interval_ms": 100, "rssi": -58, "connectable": True, "tx_power": 4,
                        "service_uuids": ["fb1e4001-54ae-4a28-9f74-dfccb248601d"]},
        "services": [{
            "uuid": COUNTER_SERVICE,
            "characteristics": [{
                "uuid": COUNTER_CHARACTERISTIC,
                "properties": ["read", "notify"],
                "value": "00000000",
                "notifications": {"every_ms": 1, "values": counter_values(NOTIFICATIONS)},
                "descriptors": [{"uuid": "2902"}],
            }, {
                "uuid": SINK_CHARACTERISTIC,
                "properties": ["write_without_response"],
                "value": "",
            }],
        }],
    }
    others = []
    for i in range(devices):
        others.append({
            "identifier": "00000000-0000-4000-8000-%012X" % (0x100000 + i),
            "name": "Race %03d" % i,
            "advertising": {"interval_ms": 100, "rssi": -70 + (i % 20), "connectable": True,
                            "manufacturer_data": "ffff%04x" % i},
        })
    return {"adapter": {"state": "powered_on"}, "peripherals": [plug] + others}


if __name__ == "__main__":
    json.dump(world(int(sys.argv[2]) if len(sys.argv) > 2 else 200), open(sys.argv[1], "w"), indent=1)
