"""Testing Python code against a simulated radio, without hardware: pytest fixtures, and the processes behind them.

The package's pytest plugin (tavrin.pytest_plugin) gives these fixtures to every test: an installed package
registers it with pytest; from a build folder, run ``pytest -p tavrin.pytest_plugin``. Or, in a conftest.py::

    pytest_plugins = ["tavrin.testing"]

    def test_switch(tavrin_sim_world):   # the simulated world, in this process
        ...

    def test_switch_bluez(tavrin_bluez):  # tavrin-bluez-sim serving the world on a private D-Bus
        ...

Both serve the world that the ``tavrin_world`` fixture names: ``"default"`` (the built-in world: a plug, a
heart rate sensor, ...), or override it with the path of a world file of your own::

    @pytest.fixture(scope="session")
    def tavrin_world():
        return "tests/my_world.json"

A process chooses its radio once, at its first Bluetooth call, so both fixtures live for the whole session
and one pytest run uses one of them: keep simulated-world tests and BlueZ tests in separate runs. Every
process started here is stopped by its process id when the session ends, and dies with this process if it
ends first.
"""
from __future__ import annotations

import ctypes
import os
import select
import shutil
import signal
import subprocess
import time
from types import TracebackType
from typing import Dict, Iterator, List, Optional, Type, TypeVar, Union

try:
    import pytest
except ImportError:  # the classes below work without pytest
    pytest = None  # type: ignore[assignment]

from . import _paths

__all__ = ["PrivateBus", "BluezSimulator", "WorldServer", "bluez_address", "on_real_stack", "simulator_path",
           "default_world_file"]

# A world: "default" (the built-in world), or a world file's path.
World = Union[str, "os.PathLike[str]"]

_Simulator = TypeVar("_Simulator", bound="BluezSimulator")

# The radio this process was given by a fixture: "sim" or "bluez".
_chosen_radio: Optional[str] = None


def simulator_path() -> str:
    """tavrin-bluez-sim: $TAVRIN_BLUEZ_SIM, the build's or the installation's own, or the one on PATH."""
    for candidate in (os.environ.get("TAVRIN_BLUEZ_SIM"), _paths.BLUEZ_SIM, shutil.which("tavrin-bluez-sim")):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    raise FileNotFoundError("tavrin-bluez-sim not found: set TAVRIN_BLUEZ_SIM to its path")


def default_world_file() -> str:
    """The built-in world as a file, for tavrin-bluez-sim."""
    return _paths.DEFAULT_WORLD


def bluez_address(identifier: str) -> str:
    """The Bluetooth address tavrin-bluez-sim gives a world's device: its identifier's last 12 hex digits."""
    digits = identifier.replace("-", "")[-12:].upper()
    return ":".join(digits[i:i + 2] for i in range(0, 12, 2))


# Looked up here, not in the child: between fork and exec the child must not load anything.
_prctl = ctypes.CDLL(None, use_errno=True).prctl
_PR_SET_PDEATHSIG = 1


def _die_with_parent() -> None:
    # In the child, before exec: the kernel kills it when the thread that started it ends.
    _prctl(_PR_SET_PDEATHSIG, int(signal.SIGKILL))


class _Child:
    """A child process whose standard output is read line by line, each wait bounded."""

    def __init__(self, argv: List[str]) -> None:
        self.process = subprocess.Popen(argv, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                        preexec_fn=_die_with_parent)
        self._buffer = b""

    @property
    def pid(self) -> int:
        return self.process.pid

    def read_line(self, limit: float) -> Optional[str]:
        assert self.process.stdout is not None
        deadline = time.monotonic() + limit
        fd = self.process.stdout.fileno()
        while b"\n" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                return None
            chunk = os.read(fd, 4096)
            if not chunk:
                return None
            self._buffer += chunk
        line, self._buffer = self._buffer.split(b"\n", 1)
        return line.decode(errors="replace")

    def stop(self, sig: int = signal.SIGTERM, limit: float = 5.0) -> int:
        """Signals the process by its id and waits; one still running after ``limit`` s is killed."""
        if self.process.poll() is None:
            os.kill(self.process.pid, sig)
            try:
                self.process.wait(limit)
            except subprocess.TimeoutExpired:
                os.kill(self.process.pid, signal.SIGKILL)
                self.process.wait()
        if self.process.stdout is not None:
            self.process.stdout.close()
        return self.process.returncode


class PrivateBus:
    """A private message bus (dbus-daemon); ``address`` is its address. A context manager."""

    def __init__(self) -> None:
        self._daemon = _Child(["dbus-daemon", "--session", "--print-address", "--nofork", "--nopidfile"])
        address = self._daemon.read_line(5.0)
        if not address:
            self._daemon.stop(signal.SIGKILL)
            raise RuntimeError("dbus-daemon gave no bus address within 5 s")
        self.address: str = address

    @property
    def pid(self) -> int:
        return self._daemon.pid

    def stop(self) -> None:
        self._daemon.stop()

    def __enter__(self) -> PrivateBus:
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.stop()


class BluezSimulator:
    """tavrin-bluez-sim serving ``world`` (a file, or "default") on the bus at ``bus_address``; started when
    made, ready to answer once made. A context manager."""

    def __init__(self, world: World, bus_address: str, ready_limit: float = 10.0) -> None:
        world_file = default_world_file() if world == "default" else os.fspath(world)
        self._process = _Child([simulator_path(), "--world", world_file, "--bus", bus_address])
        deadline = time.monotonic() + ready_limit
        while True:
            line = self._process.read_line(max(0.0, deadline - time.monotonic()))
            if line == "ready":
                return
            if line is None:
                self._process.stop(signal.SIGKILL)
                raise RuntimeError("tavrin-bluez-sim did not report ready within %g s" % ready_limit)

    @property
    def pid(self) -> int:
        return self._process.pid

    def stop(self, sig: int = signal.SIGTERM) -> int:
        """SIGTERM, as a service manager stops bluetoothd (SIGKILL: it dies without a word); its exit status."""
        return self._process.stop(sig)

    def __enter__(self: _Simulator) -> _Simulator:
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.stop()


def on_real_stack() -> bool:
    """True inside the testbed's guest (tavrin-testbed): the real bluetoothd runs on the system bus."""
    return bool(os.environ.get("TAVRIN_TESTBED_GUEST"))


class WorldServer(BluezSimulator):
    """On the real stack: tavrin-world-server serving ``world`` from controllers of its own, each device's
    address in ``addresses`` (identifier -> address); bluetoothd is started afresh first. A context manager,
    stopped as the simulator is."""

    def __init__(self, world: World, ready_limit: float = 60.0) -> None:
        world_file = default_world_file() if world == "default" else os.fspath(world)
        restart = subprocess.run([os.environ["TAVRIN_TESTBED_STACK"], "restart"], stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, timeout=60)
        if restart.returncode != 0:
            raise RuntimeError("the real stack did not restart: " + restart.stdout.decode(errors="replace"))
        server = os.environ.get("TAVRIN_WORLD_SERVER") or shutil.which("tavrin-world-server")
        if server is None:
            raise FileNotFoundError("tavrin-world-server not found: set TAVRIN_WORLD_SERVER to its path")
        self._process = _Child([server, "--world", world_file])
        self.addresses: Dict[str, str] = {}
        deadline = time.monotonic() + ready_limit
        while True:
            line = self._process.read_line(max(0.0, deadline - time.monotonic()))
            if line == "ready":
                return
            if line is None:
                self._process.stop(signal.SIGKILL)
                raise RuntimeError("tavrin-world-server did not report ready within %g s" % ready_limit)
            fields = line.split()
            if len(fields) == 5 and fields[0] == "device":  # device IDENTIFIER WORLD-ADDRESS REAL-ADDRESS hciN
                self.addresses[fields[1].upper()] = fields[3].upper()


class SimWorld:
    """What ``tavrin_sim_world`` gives a test: the world served, and how the radio names devices."""

    radio = "sim"

    def __init__(self, world: World) -> None:
        self.world = world

    @staticmethod
    def address(identifier: str) -> str:
        return identifier


class BluezWorld:
    """What ``tavrin_bluez`` gives a test: the world, the bus, the simulator (both stoppable by pid)."""

    radio = "bluez"

    def __init__(self, world: World, bus: Optional[PrivateBus], simulator: BluezSimulator) -> None:
        self.world = world
        self.bus = bus
        self.simulator = simulator

    def address(self, identifier: str) -> str:
        addresses: Optional[Dict[str, str]] = getattr(self.simulator, "addresses", None)
        if addresses is not None:
            return addresses[identifier.upper()]
        return bluez_address(identifier)


def _choose(radio: str) -> None:
    global _chosen_radio
    if _chosen_radio not in (None, radio):
        raise RuntimeError("this process already uses the %s radio: a process chooses its radio once, "
                           "so run %s tests in a pytest run of their own" % (_chosen_radio, radio))
    _chosen_radio = radio


def sim_world(world: World = "default") -> SimWorld:
    """Makes this process use the simulated world (a file's path, or "default"); before any Bluetooth call."""
    _choose("sim")
    os.environ["TAVRIN_SIM_WORLD"] = os.fspath(world)
    return SimWorld(world)


if pytest is not None:

    @pytest.fixture(scope="session")
    def tavrin_world() -> World:
        """The world the radios serve: "default", or a world file's path (override this fixture)."""
        return "default"

    @pytest.fixture(scope="session")
    def tavrin_sim_world(tavrin_world: World) -> SimWorld:
        """The simulated world in this process."""
        return sim_world(tavrin_world)

    @pytest.fixture(scope="session")
    def tavrin_bluez(tavrin_world: World) -> Iterator[BluezWorld]:
        """tavrin-bluez-sim serving the world on a private bus that this process uses as its system bus; in the
        testbed's guest, the real bluetoothd with the world served by tavrin-world-server (``bus`` is None)."""
        _choose("bluez")
        saved = {name: os.environ.get(name) for name in ("TAVRIN_SIM_WORLD", "DBUS_SYSTEM_BUS_ADDRESS")}
        if on_real_stack():
            with WorldServer(tavrin_world) as server:
                os.environ.pop("TAVRIN_SIM_WORLD", None)
                os.environ.pop("DBUS_SYSTEM_BUS_ADDRESS", None)
                try:
                    yield BluezWorld(tavrin_world, None, server)
                finally:
                    for name, value in saved.items():
                        if value is not None:
                            os.environ[name] = value
            return
        with PrivateBus() as bus, BluezSimulator(tavrin_world, bus.address) as simulator:
            os.environ.pop("TAVRIN_SIM_WORLD", None)
            os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = bus.address
            try:
                yield BluezWorld(tavrin_world, bus, simulator)
            finally:
                for name, value in saved.items():
                    if value is None:
                        os.environ.pop(name, None)
                    else:
                        os.environ[name] = value
