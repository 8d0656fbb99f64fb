# The module over the BlueZ radio, against tavrin-bluez-sim on a private bus.
import pytest

from conftest import ECHO, LOCK, PLUG, on_real_stack, pair_and_read, round_trip_bytes, switch_plug


@pytest.fixture(autouse=True)
def bluez(tavrin_bluez):
    return tavrin_bluez


def test_plug_switches(adapter, bluez):
    switch_plug(adapter, bluez.address(PLUG))


def test_bytes_round_trip(adapter, bluez):
    round_trip_bytes(adapter, bluez.address(ECHO))


@pytest.mark.skipif(on_real_stack(), reason="the real stack's kernel draws its own passkeys: a device's passkey "
                    "method cannot be served there")
def test_pairing_through_a_python_agent(adapter, bluez, capfd):
    pair_and_read(adapter, bluez.address(LOCK), capfd)
