# The package's types: its stubs name exactly what the modules have, and code using every public name as a user
# would passes mypy --strict (the test python_mypy) and runs over the simulated world.
from __future__ import annotations

import ast
import asyncio
import datetime
import os
import signal
import types
from typing import List, Set

import pytest

import tavrin
import tavrin.aio
import tavrin.logging
import tavrin.pytest_plugin
import tavrin.testing
from tavrin import _tavrin

PLUG = "C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13"
PLUG_SERVICE = "fb1e4001-54ae-4a28-9f74-dfccb248601d"
COMMAND = "fb1e4002-54ae-4a28-9f74-dfccb248601d"
STATUS = "fb1e4003-54ae-4a28-9f74-dfccb248601d"
ECHO = "7E57B17E-0000-4000-8000-00000000EC40"
ECHO_SERVICE = "7e570001-0000-4000-8000-000000000000"
ECHO_VALUE = "7e570002-0000-4000-8000-000000000000"
ECHO_DESCRIPTOR = "7e570003-0000-4000-8000-000000000000"
COUNTER = "7e570004-0000-4000-8000-000000000000"
LOCK = "7E57B17E-0000-4000-8000-0000000A1001"

# The special names a stub must give where the class has them, and only those. (__init__ is left out: a class
# the module makes but a program may not has one too, which refuses.)
_DUNDERS = {"__eq__", "__ne__", "__hash__", "__int__", "__index__", "__len__", "__members__"}


def _compared(names: Set[str], private: bool = True) -> Set[str]:
    return {n for n in names if (private or not n.startswith("_")) and (not n.startswith("__") or n in _DUNDERS)}


def _stub_names(body: List[ast.stmt]) -> Set[str]:
    names: Set[str] = set()
    for node in body:
        if isinstance(node, ast.ClassDef):
            # A class marked type_check_only is the stubs' own.
            if not any(isinstance(d, ast.Name) and d.id == "type_check_only" for d in node.decorator_list):
                names.add(node.name)
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            # The stubs' own aliases are underscored and are not the module's: _Bytes, _Duration, _Sink ...
            names.update(t.id for t in node.targets
                         if isinstance(t, ast.Name) and not (t.id.startswith("_") and t.id[1:2].isupper()))
    return names


def _compare(runtime: object, body: List[ast.stmt], where: str, problems: List[str], private: bool = True) -> None:
    """Compares what ``runtime`` (a module or a class) has with what its stub ``body`` says, its classes' too;
    ``private``: the underscored names too (what the package uses of the extension)."""
    own = vars(runtime)
    stub = _compared(_stub_names(body), private)
    actual = _compared(set(own), private)
    if isinstance(runtime, types.ModuleType):
        # What a module imports for itself is not its API.
        actual = {n for n in actual if not isinstance(own[n], types.ModuleType) or n.startswith("_")}
    for name in sorted(actual - stub):
        problems.append("%s.%s is missing from the stub" % (where, name))
    for name in sorted(stub - actual):
        problems.append("%s.%s is in the stub but not in the module" % (where, name))
    for node in body:
        if isinstance(node, ast.ClassDef) and node.name in own:
            _compare(own[node.name], node.body, where + "." + node.name, problems)


def test_the_stubs_name_what_the_modules_have() -> None:
    problems: List[str] = []
    folder = os.path.dirname(tavrin.__file__)
    for module, stub, private in ((_tavrin, "_tavrin.pyi", True), (tavrin.logging, "logging.pyi", False)):
        with open(os.path.join(folder, stub)) as f:
            _compare(module, ast.parse(f.read()).body, module.__name__, problems, private)
    assert problems == [], "\n".join(problems)
    # The package re-exports the extension's public names, and its logger.
    assert sorted(tavrin.__all__) == sorted([n for n in vars(_tavrin) if not n.startswith("_")] + ["logging"])
    assert all(hasattr(tavrin, n) for n in tavrin.__all__)
    for module in (tavrin.aio, tavrin.testing, tavrin.pytest_plugin):
        assert all(hasattr(module, n) for n in module.__all__)


@pytest.fixture(autouse=True)
def world(tavrin_sim_world: tavrin.testing.SimWorld) -> tavrin.testing.SimWorld:
    return tavrin_sim_world


def _find(adapter: tavrin.Adapter, address: str) -> tavrin.Peripheral:
    adapter.scan_for(200, tavrin.ScanOptions(service_uuids=[], rssi_floor=None, first_report_only=True))
    return next(p for p in adapter.scan_get_results() if p.address() == address)


def test_the_blocking_api_as_typed() -> None:
    assert tavrin.Adapter.bluetooth_enabled()
    adapter = tavrin.Adapter.get_adapters()[0]
    assert adapter.initialized() and adapter.is_enabled() and isinstance(adapter.identifier() + adapter.address(), str)
    limits = tavrin.TimeLimits(connection=2, request=datetime.timedelta(seconds=1), pairing=1.5)
    limits.disconnection = 1
    limits.validate()
    assert limits.request == datetime.timedelta(seconds=1) and limits != tavrin.TimeLimits()
    adapter.set_time_limits(limits)
    assert adapter.time_limits() == limits
    options = tavrin.ScanOptions(passive=False)
    options.service_uuids.append(ECHO_SERVICE)
    options.rssi_floor = -127
    options.validate()
    found: List[tavrin.Peripheral] = []
    adapter.set_callback_on_scan_found(found.append)
    adapter.set_callback_on_scan_updated(lambda p: None)
    adapter.set_callback_on_scan_start(lambda: None)
    adapter.set_callback_on_scan_stop(None)
    adapter.scan_start(options)
    assert adapter.scan_is_active()
    adapter.scan_stop()
    adapter.scan_start()
    adapter.scan_stop()
    echo = _find(adapter, ECHO)
    assert echo.address_type() in tavrin.AddressType.__members__.values() and int(tavrin.AddressType.PUBLIC) == 0
    assert isinstance(echo.rssi() + echo.tx_power(), int) and echo.is_connectable() and echo.initialized()
    assert echo.manufacturer_data() == {0xFFFF: b"\x00\xff\x80\x00"}
    echo.set_time_limits(echo.time_limits())
    connected: List[bool] = []
    echo.set_callback_on_connected(lambda: connected.append(True))
    echo.set_callback_on_disconnected(lambda: None)
    echo.connect()
    try:
        assert echo.is_connected() and echo.mtu() > 0 and connected == [True]
        for service in echo.services():
            assert isinstance(service.uuid(), str) and isinstance(service.data(), bytes)
            for characteristic in service.characteristics():
                assert isinstance(characteristic.capabilities(), list)
                assert [d.uuid() for d in characteristic.descriptors()] is not None
                for can in (characteristic.can_read, characteristic.can_write_request, characteristic.can_write_command,
                            characteristic.can_notify, characteristic.can_indicate):
                    assert isinstance(can(), bool)
        echo.write_request(ECHO_SERVICE, ECHO_VALUE, b"\x00\x01")
        echo.write_command(ECHO_SERVICE, ECHO_VALUE, bytearray(b"\x02"))
        echo.write(ECHO_SERVICE, ECHO_VALUE, ECHO_DESCRIPTOR, memoryview(b"\x03"))
        assert echo.read(ECHO_SERVICE, ECHO_VALUE, ECHO_DESCRIPTOR) == b"\x03"
        assert isinstance(echo.read(ECHO_SERVICE, ECHO_VALUE), bytes)
        values: List[bytes] = []
        echo.notify(ECHO_SERVICE, COUNTER, values.append)
        echo.unsubscribe(ECHO_SERVICE, COUNTER)
        echo.notify(ECHO_SERVICE, COUNTER, values.append, delivery=tavrin.Delivery.EXCLUSIVE)
        echo.unsubscribe(ECHO_SERVICE, COUNTER)
        echo.indicate(ECHO_SERVICE, COUNTER, values.append)  # taken as a notify
        echo.unsubscribe(ECHO_SERVICE, COUNTER)
        with pytest.raises(tavrin.ServiceNotFound):
            echo.read("0000abcd-0000-1000-8000-00805f9b34fb", ECHO_VALUE)
    finally:
        echo.disconnect()
    # Pairing, as typed; every exception class is the family's.
    asked: List[str] = []

    def passkey(address: str) -> int:
        asked.append(address)
        return 123456

    agent = tavrin.PairingAgent(capability=tavrin.IoCapability.KEYBOARD_ONLY, request_passkey=passkey,
                                display_passkey=lambda address, key: None, confirm=lambda address, key: True,
                                authorize=lambda address: True, cancel=lambda address: None)
    agent.cancel = None
    adapter.set_pairing_agent(agent)
    lock = _find(adapter, LOCK)
    try:
        lock.pair()
        assert lock.is_paired() and asked == [lock.address()]
        assert lock.address() in [p.address() for p in adapter.get_paired_peripherals()]
        lock.unpair()
    finally:
        adapter.remove_pairing_agent()
        lock.disconnect()
    for error in (tavrin.NotInitialized, tavrin.NotConnected, tavrin.InvalidReference, tavrin.ServiceNotFound,
                  tavrin.CharacteristicNotFound, tavrin.DescriptorNotFound, tavrin.OperationNotSupported,
                  tavrin.OperationFailed, tavrin.WinRTException, tavrin.CoreBluetoothException):
        assert issubclass(error, tavrin.TavrinError) and issubclass(tavrin.TavrinError, RuntimeError)
    with pytest.raises(tavrin.NotInitialized):
        tavrin.Peripheral().identifier()
    with pytest.raises(tavrin.NotInitialized):
        tavrin.Adapter().identifier()


@pytest.mark.asyncio
async def test_the_asyncio_api_as_typed() -> None:
    assert await tavrin.aio.Adapter.bluetooth_enabled()
    adapter = (await tavrin.aio.Adapter.get_adapters())[0]
    assert isinstance(adapter.handle, tavrin.Adapter) and adapter.initialized() and adapter.is_enabled()
    assert adapter.identifier() and adapter.address() and not adapter.scan_is_active()
    adapter.set_time_limits(adapter.time_limits())
    adapter.set_callback_on_scan_start(lambda: None)
    adapter.set_callback_on_scan_stop(lambda: None)
    adapter.set_callback_on_scan_updated(None)
    reports: tavrin.aio.ScanReports
    async with adapter.scan_reports(updates=False, options=tavrin.ScanOptions()) as reports:
        async for device in reports:
            if device.address() == PLUG:
                break
    adapter.set_callback_on_scan_found(lambda p: None)
    await adapter.scan_start(tavrin.ScanOptions())
    await adapter.scan_stop()
    await adapter.scan_for(200)
    adapter.set_callback_on_scan_found(None)
    plug = next(p for p in adapter.scan_get_results() if p.address() == PLUG)
    assert isinstance(plug.handle, tavrin.Peripheral) and plug.initialized() and plug.identifier() == "Tavrin Plug"
    assert isinstance(plug.address_type(), tavrin.AddressType) and plug.is_connectable()
    assert isinstance(plug.rssi() + plug.tx_power(), int) and isinstance(plug.manufacturer_data(), dict)
    with pytest.raises(tavrin.OperationNotSupported):  # the simulated radio keeps no bonds of its own
        plug.is_paired()
    plug.set_time_limits(plug.time_limits())
    plug.set_callback_on_connected(lambda: None)
    plug.set_callback_on_disconnected(None)
    await plug.connect()
    try:
        assert plug.is_connected() and plug.mtu() > 0 and plug.services()
        await plug.notify(PLUG_SERVICE, STATUS, lambda value: None, delivery=tavrin.Delivery.SHARED)
        await plug.unsubscribe(PLUG_SERVICE, STATUS)
        values: tavrin.aio.Notifications
        async with plug.notifications(PLUG_SERVICE, STATUS, delivery=tavrin.Delivery.EXCLUSIVE) as values:
            await plug.write_request(PLUG_SERVICE, COMMAND, b'\t{"mode":3,"switch":1,"timer":30}')
            first: bytes = await values.__anext__()
            assert first == b"\x01\x1e\x00"
        await plug.write_command(PLUG_SERVICE, COMMAND, bytearray(b'\t{"mode":3,"switch":0}'))
        assert isinstance(await plug.read(PLUG_SERVICE, STATUS), bytes)
        with pytest.raises(tavrin.TavrinError):
            await plug.indicate(PLUG_SERVICE, COMMAND, lambda value: None)
        with pytest.raises(tavrin.TavrinError):
            await plug.write(PLUG_SERVICE, STATUS, "2902", memoryview(b"\x00"))
        assert isinstance(await plug.read(PLUG_SERVICE, STATUS, "2902"), bytes)
        await plug.settle()
    finally:
        await plug.disconnect()
    assert [p.address() for p in await adapter.get_paired_peripherals()] is not None
    lock = next(p for p in adapter.scan_get_results() if p.address() == LOCK)
    adapter.set_pairing_agent(tavrin.PairingAgent(request_passkey=_awaited_passkey))
    try:
        await lock.pair()
        assert lock.is_paired()
        await lock.unpair()
    finally:
        adapter.remove_pairing_agent()


async def _awaited_passkey(address: str) -> int:
    await asyncio.sleep(0)
    return 123456


def test_the_logger_and_the_testing_helpers_as_typed(tmp_path: "os.PathLike[str]") -> None:
    levels = [tavrin.logging.NONE, tavrin.logging.FATAL, tavrin.logging.ERROR, tavrin.logging.WARNING,
              tavrin.logging.INFO, tavrin.logging.DEBUG, tavrin.logging.VERBOSE]
    assert [level.name for level in levels] == list(tavrin.logging.Level.__members__)
    saved = tavrin.logging.get_level()
    records: List[str] = []

    def sink(level: tavrin.logging.Level, module: str, file: str, line: int, function: str, message: str) -> None:
        records.append("%s %s %s" % (level.name, module, message))

    try:
        tavrin.logging.set_level(tavrin.logging.INFO)
        tavrin.logging.set_callback(sink)
        assert tavrin.logging.has_callback()
        tavrin.logging.log(tavrin.logging.WARNING, "typed", "a record")
        assert tavrin.logging.flush(datetime.timedelta(seconds=5)) and tavrin.logging.flush(None)
        assert records == ["WARNING typed a record"]
        tavrin.logging.log_default_file(os.path.join(os.fspath(tmp_path), "log.txt"))
        tavrin.logging.log_default_stdout()
        tavrin.logging.set_callback(None)
    finally:
        tavrin.logging.set_level(saved)
        tavrin.logging.log_default_stdout()
    # tavrin.testing's helpers and fixtures (those of tavrin.pytest_plugin are the same functions).
    assert tavrin.pytest_plugin.tavrin_world is tavrin.testing.tavrin_world
    assert tavrin.pytest_plugin.tavrin_sim_world is tavrin.testing.tavrin_sim_world
    assert tavrin.pytest_plugin.tavrin_bluez is tavrin.testing.tavrin_bluez
    assert tavrin.testing.bluez_address("7E57B17E-0000-4000-8000-00000000EC40") == "00:00:00:00:EC:40"
    assert tavrin.testing.SimWorld.address(ECHO) == ECHO and tavrin.testing.sim_world("default").radio == "sim"
    assert os.path.exists(tavrin.testing.default_world_file()) and not tavrin.testing.on_real_stack()
    with tavrin.testing.PrivateBus() as bus, tavrin.testing.BluezSimulator("default", bus.address) as simulator:
        world = tavrin.testing.BluezWorld("default", bus, simulator)
        assert world.address(ECHO) == "00:00:00:00:EC:40" and bus.pid > 0 and simulator.pid > 0
        assert tavrin.testing.simulator_path()
        assert simulator.stop(signal.SIGKILL) != 0
    if tavrin.testing.on_real_stack():
        with tavrin.testing.WorldServer("default") as server:
            assert isinstance(server.addresses, dict)
