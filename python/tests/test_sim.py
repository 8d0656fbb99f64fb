# The module over the simulated world, in this process.
import datetime
import json
import os
import subprocess
import sys
import threading
import time
import weakref

import pytest
import tavrin

from conftest import (COUNTER, ECHO, ECHO_SERVICE, LOCK, PLUG, PLUG_SERVICE, WORLD, find, pair_and_read,
                      round_trip_bytes, switch_plug, wait_until)


@pytest.fixture(autouse=True)
def world(tavrin_sim_world):
    return tavrin_sim_world


def test_plug_switches(adapter):
    assert tavrin.Adapter.bluetooth_enabled()
    switch_plug(adapter, PLUG)
    assert not adapter.scan_is_active()
    assert PLUG in [p.address() for p in adapter.scan_get_results()]


def test_bytes_round_trip(adapter):
    round_trip_bytes(adapter, ECHO)


def counter(value):
    return int.from_bytes(value[:2], "little")


def test_notifications_arrive_in_order_while_the_main_thread_waits(adapter):
    echo = find(adapter, ECHO)
    echo.connect()
    try:
        values = []
        enough = threading.Event()

        def on_value(value):
            values.append(counter(value))
            if len(values) == 300:
                enough.set()

        echo.notify(ECHO_SERVICE, COUNTER, on_value)
        # The main thread blocks in C (the GIL released) while values arrive on the library's queue.
        assert enough.wait(10)
        echo.unsubscribe(ECHO_SERVICE, COUNTER)
        got = len(values)
        time.sleep(0.05)
        assert len(values) == got, "a value arrived after unsubscribe returned"
        assert all((b - a) % 1000 == 1 for a, b in zip(values, values[1:]))
    finally:
        echo.disconnect()


def test_blocking_callback_and_unsubscribe_from_another_thread(adapter):
    echo = find(adapter, ECHO)
    echo.connect()
    try:
        entered = threading.Event()
        release = threading.Event()
        calls = []

        def on_value(value):
            calls.append(value)
            entered.set()
            release.wait(10)  # blocks the library's queue until the main thread lets it go

        echo.notify(ECHO_SERVICE, COUNTER, on_value)
        assert entered.wait(5)
        outcome = []

        def unsubscribe():
            started = time.monotonic()
            try:
                echo.unsubscribe(ECHO_SERVICE, COUNTER)
                outcome.append(("returned", time.monotonic() - started))
            except tavrin.TavrinError as e:
                outcome.append((repr(e), time.monotonic() - started))

        other = threading.Thread(target=unsubscribe)
        other.start()
        # The unsubscribing thread waits for the running callback; this thread still runs Python and
        # queries the library meanwhile.
        time.sleep(0.2)
        assert echo.is_connected() and not outcome
        release.set()
        other.join(5)
        assert not other.is_alive(), "unsubscribe did not return"
        assert outcome and outcome[0][0] == "returned" and outcome[0][1] < 1.0, outcome
        got = len(calls)
        time.sleep(0.05)
        assert len(calls) == got
    finally:
        release.set()
        echo.disconnect()


def test_exception_in_a_callback_is_logged_and_the_queue_goes_on(adapter):
    records = []
    tavrin.logging.set_callback(lambda *record: records.append(record))
    try:
        echo = find(adapter, ECHO)
        echo.connect()
        values = []

        def on_value(value):
            values.append(value)
            if len(values) == 1:
                raise ValueError("boom \x00 in a callback")

        echo.notify(ECHO_SERVICE, COUNTER, on_value)
        assert wait_until(lambda: len(values) >= 5), "values stopped after the exception"
        echo.unsubscribe(ECHO_SERVICE, COUNTER)
        echo.disconnect()
        assert tavrin.logging.flush()
        errors = [r for r in records if r[0] == tavrin.logging.ERROR]
        assert any("ValueError: boom" in r[5] and "Exception during callback" in r[5] for r in errors), errors
        assert all(r[1] == "Tavrin" for r in errors)
    finally:
        tavrin.logging.log_default_stdout()


def test_logger_level_and_a_sink_that_calls_the_library(adapter):
    saved = tavrin.logging.get_level()
    seen = []

    def sink(level, module, file, line, function, message):
        # Runs outside the library's locks: the library may be called from here.
        seen.append((level, message, tavrin.logging.get_level()))
        if message == "slow":
            time.sleep(0.1)

    tavrin.logging.set_callback(sink)
    try:
        tavrin.logging.set_level(tavrin.logging.WARNING)
        tavrin.logging.log(tavrin.logging.INFO, "test", "dropped")
        tavrin.logging.log(tavrin.logging.WARNING, "test", "kept")
        assert tavrin.logging.flush()
        assert seen == [(tavrin.logging.WARNING, "kept", tavrin.logging.WARNING)]
        # No limit, or one too long for the clock: the flush waits for the sink, however busy.
        for limit in (None, float("inf"), 1e300, datetime.timedelta.max, 10**30):
            tavrin.logging.log(tavrin.logging.WARNING, "test", "slow")
            tavrin.logging.log(tavrin.logging.WARNING, "test", "after")
            assert tavrin.logging.flush(limit) and seen[-1][1] == "after"
        for limit in (float("-inf"), float("nan")):
            with pytest.raises(ValueError, match="^the timeout must be a finite number of seconds, not (-inf|nan)$"):
                tavrin.logging.flush(limit)
        with pytest.raises(TypeError, match="^the sink must be callable or None, not int$"):
            tavrin.logging.set_callback(3)
    finally:
        tavrin.logging.set_level(saved)
        tavrin.logging.log_default_stdout()


def test_scan_options_and_time_limits(adapter):
    # Only the plug advertises the plug's service: a scan filtered by it reports nothing else. The list of
    # services is the options' own.
    options = tavrin.ScanOptions(service_uuids=["180d", "180f"])
    options.service_uuids.remove("180f")
    options.service_uuids.append(PLUG_SERVICE)
    options.service_uuids[0:1] = []
    assert options.service_uuids == [PLUG_SERVICE] == tavrin.ScanOptions(service_uuids=[PLUG_SERVICE]).service_uuids
    adapter.scan_for(300, options)
    assert [p.address() for p in adapter.scan_get_results()] == [PLUG]
    with pytest.raises(ValueError, match="rssi_floor"):
        adapter.scan_start(tavrin.ScanOptions(rssi_floor=5))
    assert adapter.is_enabled()
    limits = tavrin.TimeLimits(request=0.25)
    assert limits.request == datetime.timedelta(milliseconds=250)
    assert limits.connection == datetime.timedelta(seconds=5)
    with pytest.raises(ValueError, match="TimeLimits.request must be positive"):
        adapter.set_time_limits(tavrin.TimeLimits(request=datetime.timedelta(0)))
    # Any positive limit is taken, however long, and reads back as long (timedelta.max at most).
    longest = tavrin.TimeLimits(connection=datetime.timedelta.max, request=datetime.timedelta(days=200000),
                                pairing=10**30)
    longest.disconnection = 1e300
    adapter.set_time_limits(longest)
    assert adapter.time_limits() == longest
    assert longest.connection > datetime.timedelta.max - datetime.timedelta(milliseconds=1)
    assert longest.request == datetime.timedelta(days=200000)
    assert longest.pairing == longest.disconnection == datetime.timedelta.max
    # Whole seconds are seconds; a positive limit under a millisecond is one, never none.
    short = tavrin.TimeLimits(request=2, connection=0.0004, pairing=datetime.timedelta(microseconds=1))
    assert short.request == datetime.timedelta(seconds=2)
    assert short.connection == short.pairing == datetime.timedelta(milliseconds=1)
    adapter.set_time_limits(short)
    assert adapter.time_limits() == short
    for refused in (datetime.timedelta.min, datetime.timedelta(0), 0, -1, -1e300, -(10**30)):
        with pytest.raises(ValueError, match="TimeLimits.request must be positive"):
            tavrin.TimeLimits(request=refused).validate()
    # Not a number of seconds: refused where given, with what it was.
    for refused, text in ((float("inf"), "inf"), (float("-inf"), "-inf"), (float("nan"), "nan")):
        with pytest.raises(ValueError, match="^TimeLimits.request must be a finite number of seconds, not %s$" % text):
            tavrin.TimeLimits(request=refused)
        with pytest.raises(ValueError, match="^TimeLimits.pairing must be a finite number of seconds, not %s$" % text):
            short.pairing = refused
    for refused in ("1", True):
        with pytest.raises(TypeError, match="TimeLimits.request must be seconds"):
            tavrin.TimeLimits(request=refused)
    adapter.set_time_limits(limits)
    assert adapter.time_limits() == limits
    assert find(adapter, PLUG).time_limits() == limits


def test_a_callback_that_is_not_callable_is_refused_when_set(adapter):
    plug = find(adapter, PLUG)
    setters = [(adapter, "set_callback_on_scan_%s" % kind) for kind in ("start", "stop", "found", "updated")]
    setters += [(plug, "set_callback_on_connected"), (plug, "set_callback_on_disconnected")]
    for handle, setter in setters:
        with pytest.raises(TypeError, match="^%s's callback must be callable or None, not int$" % setter):
            getattr(handle, setter)(42)
        getattr(handle, setter)(None)  # still removes
    for subscribe in (plug.notify, plug.indicate):
        with pytest.raises(TypeError, match="^the value callback must be callable, not str$"):
            subscribe(PLUG_SERVICE, PLUG_SERVICE, "print")
    with pytest.raises(TypeError, match="^PairingAgent.confirm must be callable or None, not bool$"):
        tavrin.PairingAgent(confirm=True)
    agent = tavrin.PairingAgent(request_passkey=lambda device: 0)
    with pytest.raises(TypeError, match="^PairingAgent.request_passkey must be callable or None, not int$"):
        agent.request_passkey = 123456
    assert agent.request_passkey(None) == 0
    agent.request_passkey = None
    assert agent.request_passkey is None


def test_pairing_through_a_python_agent(adapter, capfd):
    pair_and_read(adapter, LOCK, capfd)


def test_an_agent_that_blocks_is_outlasted_by_the_pairing_limit(adapter):
    lock = find(adapter, LOCK)
    asked = threading.Event()
    release = threading.Event()

    def slow(device):
        asked.set()
        release.wait(10)  # a user who never types
        return 123456

    adapter.set_pairing_agent(tavrin.PairingAgent(request_passkey=slow))
    lock.set_time_limits(tavrin.TimeLimits(pairing=0.3))
    try:
        started = time.monotonic()
        with pytest.raises(tavrin.OperationFailed):
            lock.pair()  # the agent's thread holds no lock and not the GIL while it waits
        assert asked.is_set() and time.monotonic() - started < 5.0
        assert not lock.is_paired()
    finally:
        release.set()
        adapter.remove_pairing_agent()
        lock.disconnect()


def test_scan_report_handles_that_the_callback_keeps_stay_theirs(adapter):
    seen = []
    kept = []
    weak = []

    def on_report(peripheral):
        seen.append(peripheral.address())
        if len(seen) % 3 == 0:  # the others are dropped at once, and their handles may serve later reports
            kept.append((peripheral, peripheral.address()))
        elif len(seen) % 3 == 1:  # kept weakly: gone, or still this peripheral, never another one
            weak.append((weakref.ref(peripheral), peripheral.address()))

    adapter.set_callback_on_scan_found(on_report)
    adapter.set_callback_on_scan_updated(on_report)
    adapter.scan_for(300)
    adapter.set_callback_on_scan_found(None)
    adapter.set_callback_on_scan_updated(None)
    assert len(set(seen)) == 3 and len(kept) > 5
    assert [p.address() for p, _ in kept] == [address for _, address in kept]
    assert all(ref() is None or ref().address() == address for ref, address in weak)


# Exits while callbacks still run Python past the exit's grace: a pairing agent's prompt, and a scan callback on the
# event queue. The interpreter ends their threads as they ask for the GIL back.
EXIT_DURING_CALLBACKS = """
import threading, time, tavrin
adapter = tavrin.Adapter.get_adapters()[0]
adapter.scan_for(200)
lock = [p for p in adapter.scan_get_results() if p.address() == %r][0]
lock.connect()
asked = threading.Event()

def prompt(device):
    asked.set()
    while True:
        time.sleep(0.001)

adapter.set_pairing_agent(tavrin.PairingAgent(request_passkey=prompt))
lock.set_time_limits(tavrin.TimeLimits(pairing=0.1))
try:
    lock.pair()
except tavrin.OperationFailed:
    pass
found = threading.Event()

def on_found(peripheral):
    found.set()
    while True:
        time.sleep(0.001)

adapter.set_callback_on_scan_found(on_found)
adapter.scan_start()
assert asked.wait(5) and found.wait(5)
""" % LOCK


def test_exit_while_callbacks_run_is_clean():
    env = dict(os.environ, TAVRIN_SIM_WORLD=WORLD)
    runs = [subprocess.Popen([sys.executable, "-c", EXIT_DURING_CALLBACKS], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True) for _ in range(5)]
    for run in runs:
        out, err = run.communicate(timeout=60)
        assert run.returncode == 0 and "fatal" not in err.lower(), err


# Ctrl-C during blocking calls of devices that never answer: each raises KeyboardInterrupt at once, what it started is
# undone, and the library goes on. The signal is a real SIGINT to the process, sent while the call waits.
INTERRUPTED = """
import json, os, signal, threading, time, tavrin
adapter = tavrin.Adapter.get_adapters()[0]
adapter.scan_for(300)
devices = {p.address(): p for p in adapter.scan_get_results()}
hangs, silent = devices["7E57B17E-0000-4000-8000-00000000DEAD"], devices["7E57B17E-0000-4000-8000-0000000051E0"]
results = {}

def interrupted(name, call):
    sent = []
    timer = threading.Timer(0.2, lambda: sent.append(time.monotonic()) or os.kill(os.getpid(), signal.SIGINT))
    timer.start()
    try:
        call()
        results[name] = "returned"
    except KeyboardInterrupt:
        results[name] = time.monotonic() - sent[0]
    except BaseException as e:
        results[name] = repr(e)
    timer.join()

interrupted("scan_for", lambda: adapter.scan_for(10000))
results["scanning"] = adapter.scan_is_active()
interrupted("connect", hangs.connect)
silent.connect()
interrupted("read", lambda: silent.read("51e00001-0000-4000-8000-000000000000", "51e00002-0000-4000-8000-000000000000"))
answer, canceled = threading.Event(), threading.Event()
adapter.set_pairing_agent(tavrin.PairingAgent(request_passkey=lambda device: answer.wait(10) and 123456,
                                              cancel=lambda device: canceled.set()))
started = time.monotonic()
interrupted("pair", silent.pair)  # the read interrupted before is not waited for
results["pair took"] = time.monotonic() - started
results["pairing canceled"] = canceled.wait(5) and not silent.is_paired()
answer.set()
silent.disconnect()
hangs.set_time_limits(tavrin.TimeLimits(connection=0.05))
try:
    hangs.connect()
except tavrin.OperationFailed:
    results["connect again"] = "failed in time"
results["connected"] = hangs.is_connected()
adapter.scan_for(100)
results["found"] = len(adapter.scan_get_results())
print(json.dumps(results))
"""


def test_ctrl_c_ends_a_blocking_call_at_once_and_undoes_it():
    env = dict(os.environ, TAVRIN_SIM_WORLD=os.path.join(os.path.dirname(__file__), "slow_world.json"))
    run = subprocess.run([sys.executable, "-c", INTERRUPTED], env=env, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    results = json.loads(run.stdout.splitlines()[-1])
    for call in ("scan_for", "connect", "read", "pair"):
        # KeyboardInterrupt, not the call's own failure, well within the 0.2 s a user notices (loosely, on a busy
        # machine).
        assert isinstance(results[call], float) and results[call] < 1.0, results
    assert results["scanning"] is False and results["connected"] is False, results
    assert results["connect again"] == "failed in time" and results["found"] == 2, results
    assert results["pair took"] < 1.5 and results["pairing canceled"] is True, results
