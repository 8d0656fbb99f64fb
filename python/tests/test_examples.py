# The examples, run as a user runs them, over both radios (over BlueZ: the simulator, or on the real stack the
# real bluetoothd with the world server).
import contextlib
import os
import subprocess
import sys

import pytest
from tavrin.testing import BluezSimulator, PrivateBus, WorldServer, bluez_address, on_real_stack

from conftest import PLUG

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples")
HEART_RATE = "0F3E9B7A-52C4-4D1E-8A6B-7C9D0E1F2A3B"


def run(script, args, **env):
    environment = {k: v for k, v in os.environ.items() if k not in ("TAVRIN_SIM_WORLD", "DBUS_SYSTEM_BUS_ADDRESS")}
    environment.update(env)
    done = subprocess.run([sys.executable, os.path.join(EXAMPLES, script)] + args, env=environment,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout.splitlines()


@contextlib.contextmanager
def default_world(radio):
    """Yields how to reach a device of the default world: its address, and the environment that picks the radio."""
    if radio == "sim":
        yield (lambda identifier: identifier), {"TAVRIN_SIM_WORLD": "default"}
    elif on_real_stack():
        with WorldServer("default") as server:
            yield (lambda identifier: server.addresses[identifier.upper()]), {}
    else:
        with PrivateBus() as bus, BluezSimulator("default", bus.address):
            yield bluez_address, {"DBUS_SYSTEM_BUS_ADDRESS": bus.address}


@pytest.mark.parametrize("radio", ["sim", "bluez"])
def test_switch_switches_the_plug(radio):
    with default_world(radio) as (address, env):
        on = run("switch.py", [address(PLUG), "on", "30"], **env)
        off = run("switch.py", [address(PLUG), "off"], **env)
    assert on[-1] == "Status: on, 30 s left (01 1e 00)"
    assert off[-1] == "Status: off, 0 s left (00 00 00)"


@pytest.mark.parametrize("radio", ["sim", "bluez"])
def test_asyncio_notify_prints_the_values(radio):
    with default_world(radio) as (address, env):
        lines = run("notify_aio.py", [address(HEART_RATE), "2"], **env)
    assert lines[:3] == ["Connecting to Heart Rate Sensor [%s]" % address(HEART_RATE),
                         "Subscribed to 00002a37-0000-1000-8000-00805f9b34fb", "value: 00 48"]
    assert lines[-1] == "Unsubscribed."
