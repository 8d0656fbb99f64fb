# The package's own fixtures serve these tests, as they serve a user's.
import array
import os
import threading
import time

import pytest

from tavrin.testing import on_real_stack

pytest_plugins = ["tavrin.testing", "pytester"]

PLUG = "C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13"
PLUG_SERVICE = "fb1e4001-54ae-4a28-9f74-dfccb248601d"
COMMAND = "fb1e4002-54ae-4a28-9f74-dfccb248601d"
STATUS = "fb1e4003-54ae-4a28-9f74-dfccb248601d"


def find(adapter, address, limit=5.0):
    """Scans until the device with `address` is seen; returns its handle."""
    seen = threading.Event()
    found = []

    def on_found(peripheral):
        if peripheral.address() == address:
            found.append(peripheral)
            seen.set()

    adapter.set_callback_on_scan_found(on_found)
    adapter.scan_start()
    try:
        assert seen.wait(limit), "%s not found" % address
    finally:
        adapter.scan_stop()
        adapter.set_callback_on_scan_found(None)
    return found[0]


def wait_until(predicate, limit=5.0):
    deadline = time.monotonic() + limit
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


@pytest.fixture
def adapter():
    import tavrin
    adapters = tavrin.Adapter.get_adapters()
    assert len(adapters) == 1
    return adapters[0]


WORLD = os.path.join(os.path.dirname(__file__), "world.json")
ECHO = "7E57B17E-0000-4000-8000-00000000EC40"
ECHO_SERVICE = "7e570001-0000-4000-8000-000000000000"
ECHO_VALUE = "7e570002-0000-4000-8000-000000000000"
ECHO_DESCRIPTOR = "7e570003-0000-4000-8000-000000000000"
COUNTER = "7e570004-0000-4000-8000-000000000000"
DROPS_THE_LINK = "7e570005-0000-4000-8000-000000000000"  # a read of it loses the link


@pytest.fixture(scope="session")
def tavrin_world():
    return WORLD


def switch_plug(adapter, address):
    """Switches the plug on for 30 s and off again, checking the status it reports."""
    import tavrin
    plug = find(adapter, address)
    assert plug.identifier() == "Tavrin Plug"
    assert plug.is_connectable()
    plug.connect()
    try:
        assert plug.is_connected()
        characteristics = {c.uuid(): c for s in plug.services() for c in s.characteristics()}
        assert characteristics[COMMAND].capabilities() == ["write_request", "write_command"]
        statuses = []
        plug.notify(PLUG_SERVICE, STATUS, statuses.append)
        plug.write_request(PLUG_SERVICE, COMMAND, b'\t{"mode":3,"switch":1,"timer":30}')
        assert plug.read(PLUG_SERVICE, STATUS) == b"\x01\x1e\x00"
        plug.write_request(PLUG_SERVICE, COMMAND, b'\t{"mode":3,"switch":0}')
        assert plug.read(PLUG_SERVICE, STATUS) == b"\x00\x00\x00"
        assert wait_until(lambda: statuses[-1:] == [b"\x00\x00\x00"])
        assert statuses[0] == b"\x01\x1e\x00"
        plug.unsubscribe(PLUG_SERVICE, STATUS)
        # The library's exceptions, as Python classes with its messages. (A real bluetoothd serving the plug answers
        # the write itself, before the device sees it, since the command also takes writes without response.)
        if not on_real_stack():
            with pytest.raises(tavrin.OperationFailed, match="Operation Failed"):
                plug.write_request(PLUG_SERVICE, COMMAND, b"not a command")
        with pytest.raises(tavrin.ServiceNotFound) as missing:
            plug.read("0000abcd-0000-1000-8000-00805f9b34fb", STATUS)
        assert isinstance(missing.value, tavrin.TavrinError)
    finally:
        plug.disconnect()
    assert not plug.is_connected()
    with pytest.raises(tavrin.NotConnected, match="^Peripheral is not connected.$"):
        plug.read(PLUG_SERVICE, STATUS)


def round_trip_bytes(adapter, address):
    """Payloads with NULs and high bytes come back as they went, through every kind of write and read."""
    import tavrin
    echo = find(adapter, address)
    assert echo.manufacturer_data() == {0xFFFF: b"\x00\xff\x80\x00"}
    echo.connect()
    try:
        awkward = b"\x00\xff\x80\x00" + bytes(range(256))[:120] + b"\x00"
        echo.write_request(ECHO_SERVICE, ECHO_VALUE, awkward)
        assert echo.read(ECHO_SERVICE, ECHO_VALUE) == awkward
        echo.write_command(ECHO_SERVICE, ECHO_VALUE, bytearray(b"\xfe\x00\x01"))
        assert wait_until(lambda: echo.read(ECHO_SERVICE, ECHO_VALUE) == b"\xfe\x00\x01")
        echo.write(ECHO_SERVICE, ECHO_VALUE, ECHO_DESCRIPTOR, memoryview(b"\x00\x00\xc3\xa9"))
        assert echo.read(ECHO_SERVICE, ECHO_VALUE, ECHO_DESCRIPTOR) == b"\x00\x00\xc3\xa9"
        # A view goes as it reads, whatever the memory under it: strided, reversed, items wider than a byte.
        counting = bytes(range(16))
        for view, sent in ((memoryview(counting)[::2], counting[::2]), (memoryview(counting)[::-1], counting[::-1]),
                           (memoryview(array.array("H", [0x0102, 0x0304]))[::-1],
                            array.array("H", [0x0304, 0x0102]).tobytes())):
            echo.write_request(ECHO_SERVICE, ECHO_VALUE, view)
            assert echo.read(ECHO_SERVICE, ECHO_VALUE) == sent
        with pytest.raises(TypeError):
            echo.write_request(ECHO_SERVICE, ECHO_VALUE, "text")
    finally:
        echo.disconnect()


LOCK = "7E57B17E-0000-4000-8000-0000000A1001"
LOCK_SERVICE = "7a1e0001-0000-4000-8000-00000000a100"
SECRET = "7a1e0002-0000-4000-8000-00000000a100"


def pair_and_read(adapter, address, capfd):
    """Pairs with the passkey lock through a Python agent and reads what only a paired link may read; an agent
    that raises refuses, and the library writes its exception on the console."""
    import tavrin
    lock = find(adapter, address)
    try:
        lock.connect()
        assert not lock.is_paired()

        def no_keyboard(device):
            raise ValueError("no keyboard for %s" % device)

        adapter.set_pairing_agent(tavrin.PairingAgent(request_passkey=no_keyboard))
        with pytest.raises(tavrin.OperationFailed, match="Pair"):
            lock.pair()
        assert not lock.is_paired()
        # Written by the agent's thread once the refusal is sent: maybe after pair() has returned.
        console = []
        assert wait_until(lambda: console.append(capfd.readouterr().err) or (
            "Exception in a pairing agent callback: Python callback raised ValueError: no keyboard for " + address)
            in "".join(console)), console

        asked = []
        adapter.set_pairing_agent(tavrin.PairingAgent(capability=tavrin.IoCapability.KEYBOARD_ONLY,
                                                      request_passkey=lambda device: asked.append(device) or 123456))
        lock.connect()  # a refused pairing may take the link with it
        lock.pair()
        assert lock.is_paired() and asked == [address]
        assert lock.read(LOCK_SERVICE, SECRET) == b"Locked"
        lock.unpair()
        assert not lock.is_paired() and not lock.is_connected()
    finally:
        adapter.remove_pairing_agent()
        lock.disconnect()
