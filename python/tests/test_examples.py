# The examples, run as a user runs them, over both radios.
import os
import subprocess
import sys

import pytest
from tavrin.testing import BluezSimulator, PrivateBus, bluez_address

from conftest import PLUG

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples")


def run(script, args, **env):
    environment = {k: v for k, v in os.environ.items() if k not in ("TAVRIN_SIM_WORLD", "DBUS_SYSTEM_BUS_ADDRESS")}
    environment.update(env)
    done = subprocess.run([sys.executable, os.path.join(EXAMPLES, script)] + args, env=environment,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout.splitlines()


@pytest.mark.parametrize("radio", ["sim", "bluez"])
def test_switch_switches_the_plug(radio):
    if radio == "sim":
        on = run("switch.py", [PLUG, "on", "30"], TAVRIN_SIM_WORLD="default")
        off = run("switch.py", [PLUG, "off"], TAVRIN_SIM_WORLD="default")
    else:
        with PrivateBus() as bus, BluezSimulator("default", bus.address):
            on = run("switch.py", [bluez_address(PLUG), "on", "30"], DBUS_SYSTEM_BUS_ADDRESS=bus.address)
            off = run("switch.py", [bluez_address(PLUG), "off"], DBUS_SYSTEM_BUS_ADDRESS=bus.address)
    assert on[-1] == "Status: on, 30 s left (01 1e 00)"
    assert off[-1] == "Status: off, 0 s left (00 00 00)"


def test_asyncio_notify_prints_the_values():
    lines = run("notify_aio.py", ["0F3E9B7A-52C4-4D1E-8A6B-7C9D0E1F2A3B", "2"], TAVRIN_SIM_WORLD="default")
    assert lines == ["Connecting to Heart Rate Sensor [0F3E9B7A-52C4-4D1E-8A6B-7C9D0E1F2A3B]",
                     "Subscribed to 00002a37-0000-1000-8000-00805f9b34fb", "value: 00 48", "value: 00 49",
                     "Unsubscribed."]
