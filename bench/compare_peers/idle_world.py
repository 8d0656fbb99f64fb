"""Writes the idle-waits race's world: a device that answers at once (its disconnection then waits out
bluetoothd's 2 s disconnect timer), one that never answers a connection, and one that answers each request
2 s late."""
import json
import sys

SERVICE = "fb1e6001-54ae-4a28-9f74-dfccb248601d"
VALUE = "fb1e6002-54ae-4a28-9f74-dfccb248601d"


def device(identifier, address, name, **extra):
    entry = {
        "identifier": identifier,
        "address": address,
        "name": name,
        "mtu": 185,
        "latency_ms": 0,
        "connection": {"delay_ms": 0},
        "advertising": {"interval_ms": 100, "connectable": True},
        "services": [{"uuid": SERVICE,
                      "characteristics": [{"uuid": VALUE, "properties": ["read"], "value": "2a"}]}],
    }
    entry.update(extra)
    return entry


def world():
    return {"adapter": {"state": "powered_on"}, "peripherals": [
        device("C3A1F5E2-7B4D-4E8A-9F61-000000000A01", "2D:5B:8C:00:0A:01", "Idle Quick"),
        device("C3A1F5E2-7B4D-4E8A-9F61-000000000A02", "2D:5B:8C:00:0A:02", "Idle Mute",
               connection={"outcome": "hang"}),
        device("C3A1F5E2-7B4D-4E8A-9F61-000000000A03", "2D:5B:8C:00:0A:03", "Idle Slow", latency_ms=2000),
    ]}


if __name__ == "__main__":
    json.dump(world(), open(sys.argv[1], "w"), indent=1)
