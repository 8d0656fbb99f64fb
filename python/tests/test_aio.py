# tavrin.aio over the simulated world: the loop never blocks, values and reports arrive in it, and
# cancellation leaves the library consistent.
import asyncio
import gc
import os
import threading
import time
import weakref

import pytest
import tavrin
import tavrin.aio

from conftest import COUNTER, DROPS_THE_LINK, ECHO, ECHO_SERVICE, ECHO_VALUE, LOCK, LOCK_SERVICE, PLUG, PLUG_SERVICE, SECRET, STATUS


@pytest.fixture(autouse=True)
def world(tavrin_sim_world):
    return tavrin_sim_world


async def found(adapter, address):
    async with adapter.scan_reports() as reports:
        async for peripheral in reports:
            if peripheral.address() == address:
                return peripheral


@pytest.mark.asyncio
async def test_operations_and_values_arrive_without_blocking_the_loop():
    ticks = 0

    async def ticker():
        nonlocal ticks
        while True:
            ticks += 1
            await asyncio.sleep(0.001)

    ticking = asyncio.create_task(ticker())
    adapter = (await tavrin.aio.Adapter.get_adapters())[0]
    echo = await asyncio.wait_for(found(adapter, ECHO), 5)
    assert not adapter.scan_is_active()
    before = ticks
    await echo.connect()
    assert ticks > before, "the loop stood still during connect"
    await echo.write_request(ECHO_SERVICE, ECHO_VALUE, b"\x00\xff")
    assert await echo.read(ECHO_SERVICE, ECHO_VALUE) == b"\x00\xff"
    loop_thread = asyncio.get_running_loop()._thread_id
    values = []
    async with echo.notifications(ECHO_SERVICE, COUNTER) as stream:
        async for value in stream:
            values.append(int.from_bytes(value[:2], "little"))
            if len(values) == 100:
                break
    assert all((b - a) % 1000 == 1 for a, b in zip(values, values[1:]))
    # Callbacks run in the loop's thread; one that raises goes to the loop's handler, and values go on.
    threads = []
    errors = []
    asyncio.get_running_loop().set_exception_handler(lambda _loop, context: errors.append(context))

    def on_value(value):
        threads.append(threading.get_ident())
        if len(threads) == 1:
            raise ValueError("boom")

    await echo.notify(ECHO_SERVICE, COUNTER, on_value)
    await asyncio.sleep(0.05)
    await echo.unsubscribe(ECHO_SERVICE, COUNTER)
    got = len(threads)
    await asyncio.sleep(0.02)
    assert got > 3 and len(threads) == got and set(threads) == {loop_thread}
    assert [type(c["exception"]) for c in errors] == [ValueError]
    await echo.disconnect()
    # Scan reports too run in the loop's thread, and none comes once their callback is removed.
    reports = []
    adapter.set_callback_on_scan_updated(lambda p: reports.append((p.address(), threading.get_ident())))
    await adapter.scan_for(200)
    adapter.set_callback_on_scan_updated(None)
    got = len(reports)
    await asyncio.sleep(0.02)
    assert got > 3 and len(reports) == got and {t for _, t in reports} == {loop_thread}
    ticking.cancel()


@pytest.mark.asyncio
async def test_cancellation_leaves_the_library_consistent():
    adapter = (await tavrin.aio.Adapter.get_adapters())[0]

    # A scan whose reader gives up: the scan stops with it.
    async def never(reports):
        async for _ in reports:
            pass

    async def scan_forever():
        async with adapter.scan_reports(updates=True) as reports:
            await never(reports)

    with pytest.raises(asyncio.TimeoutError):
        await asyncio.wait_for(scan_forever(), 0.3)
    assert not adapter.scan_is_active()

    plug = await asyncio.wait_for(found(adapter, PLUG), 5)
    # A connect cancelled while it runs: once settled, the plug is not connected behind the caller's back.
    for delay in (0.0, 0.005, 0.02):
        connecting = asyncio.create_task(plug.connect())
        await asyncio.sleep(delay)
        connecting.cancel()
        with pytest.raises(asyncio.CancelledError):
            await connecting
        await plug.settle()
        assert not plug.is_connected()
    # A cancelled connect is not undone behind a later connect of the plug through another of its handles.
    connecting = asyncio.create_task(plug.connect())
    await asyncio.sleep(0)
    connecting.cancel()
    with pytest.raises(asyncio.CancelledError):
        await connecting
    other = next(p for p in adapter.scan_get_results() if p.address() == PLUG)
    await other.connect()
    await plug.settle()
    assert other.is_connected()
    await other.disconnect()

    # A subscription cancelled while it is made is undone: its callback receives nothing after settling.
    await plug.connect()
    received = []
    subscribing = asyncio.create_task(plug.notify(PLUG_SERVICE, STATUS, received.append))
    await asyncio.sleep(0)
    subscribing.cancel()
    with pytest.raises(asyncio.CancelledError):
        await subscribing
    await plug.settle()
    await plug.write_request(PLUG_SERVICE, "fb1e4002-54ae-4a28-9f74-dfccb248601d", b'\t{"switch":1,"timer":5}')
    await asyncio.sleep(0.1)
    assert received == []

    # A read cancelled in flight: the next one is answered as usual.
    reading = asyncio.create_task(plug.read(PLUG_SERVICE, STATUS))
    await asyncio.sleep(0)
    reading.cancel()
    with pytest.raises(asyncio.CancelledError):
        await reading
    assert (await plug.read(PLUG_SERVICE, STATUS))[:1] == b"\x01"
    await plug.write_request(PLUG_SERVICE, "fb1e4002-54ae-4a28-9f74-dfccb248601d", b'\t{"switch":0}')
    await plug.disconnect()
    with pytest.raises(tavrin.NotConnected):
        await plug.read(PLUG_SERVICE, STATUS)


@pytest.mark.asyncio
async def test_a_callback_that_is_not_callable_is_refused_when_set():
    adapter = (await tavrin.aio.Adapter.get_adapters())[0]
    plug = await asyncio.wait_for(found(adapter, PLUG), 5)
    setters = [(adapter, "set_callback_on_scan_%s" % kind) for kind in ("start", "stop", "found", "updated")]
    for handle, setter in setters + [(plug, "set_callback_on_connected"), (plug, "set_callback_on_disconnected")]:
        with pytest.raises(TypeError, match="^%s's callback must be callable or None, not int$" % setter):
            getattr(handle, setter)(42)
    await plug.connect()
    try:
        with pytest.raises(TypeError, match="^the value callback must be callable, not NoneType$"):
            await plug.notify(PLUG_SERVICE, STATUS, None)
    finally:
        await plug.disconnect()


@pytest.mark.asyncio
async def test_notifications_end_when_the_link_goes():
    adapter = (await tavrin.aio.Adapter.get_adapters())[0]
    echo = await asyncio.wait_for(found(adapter, ECHO), 5)
    lost = asyncio.Event()
    echo.set_callback_on_disconnected(lost.set)  # the program's callback still runs beside the streams' ends

    async def collect(end_the_link):
        values = []
        async with echo.notifications(ECHO_SERVICE, COUNTER) as stream:
            async for value in stream:
                values.append(int.from_bytes(value[:2], "little"))
                if len(values) == 20:
                    asyncio.get_running_loop().create_task(end_the_link())
        return values

    async def drop():
        with pytest.raises(tavrin.TavrinError):
            await echo.read(ECHO_SERVICE, DROPS_THE_LINK)

    # The device drops the link, or another task disconnects: the iteration ends, the values before it all there.
    for end_the_link in (drop, echo.disconnect):
        await echo.connect()
        lost.clear()
        values = await asyncio.wait_for(collect(end_the_link), 5)
        assert len(values) >= 20 and all((b - a) % 1000 == 1 for a, b in zip(values, values[1:]))
        assert not echo.is_connected()
        await asyncio.wait_for(lost.wait(), 1)
    echo.set_callback_on_disconnected(None)


@pytest.mark.asyncio
async def test_pairing_with_an_agent_that_awaits():
    adapter = (await tavrin.aio.Adapter.get_adapters())[0]
    lock = await asyncio.wait_for(found(adapter, LOCK), 5)
    loop_thread = threading.get_ident()
    asked = []

    async def prompt(device):
        asked.append((device, threading.get_ident()))
        await asyncio.sleep(0.01)  # the loop runs on while the user types
        return 123456

    adapter.set_pairing_agent(tavrin.PairingAgent(request_passkey=prompt))
    try:
        await lock.pair()
        assert asked == [(LOCK, loop_thread)]
        assert lock.is_paired()
        assert await lock.read(LOCK_SERVICE, SECRET) == b"Locked"
        await lock.unpair()
        assert not lock.is_paired() and not lock.is_connected()
    finally:
        adapter.remove_pairing_agent()


def test_a_loop_that_closed_lets_go_of_its_descriptor_and_its_reports():
    def descriptors():
        return len(os.listdir("/proc/self/fd"))

    loops = []

    async def scan(stop):
        loops.append(weakref.ref(asyncio.get_running_loop()))
        adapter = (await tavrin.aio.Adapter.get_adapters())[0]
        adapter.set_callback_on_scan_updated(lambda peripheral: None)
        queue = tavrin.aio._values_of(asyncio.get_running_loop())._queue
        await adapter.scan_start()
        await asyncio.sleep(0.05)
        if stop:
            await adapter.scan_stop()
        return adapter, queue

    asyncio.run(scan(True))  # the first loop starts the workers
    before = descriptors()
    for _ in range(10):
        asyncio.run(scan(True))
    gc.collect()
    assert descriptors() <= before + 1 and not [loop for loop in loops if loop() is not None]
    # A scan left running when its loop closed queues nothing more for it.
    adapter, queue = asyncio.run(scan(False))
    try:
        time.sleep(0.2)
        assert adapter.scan_is_active() and len(queue) == 0
    finally:
        adapter.handle.scan_stop()


@pytest.mark.asyncio
async def test_a_slow_scan_callback_gets_the_latest_reports_and_the_loop_goes_on():
    adapter = (await tavrin.aio.Adapter.get_adapters())[0]
    queue = tavrin.aio._values_of(asyncio.get_running_loop())._queue
    late = []

    async def ticker():
        while True:
            started = time.monotonic()
            await asyncio.sleep(0.05)
            late.append(time.monotonic() - started - 0.05)

    reports = []
    waiting = []

    def slow(peripheral):
        reports.append(peripheral.address())
        if len(reports) == 1:
            time.sleep(1.5)  # the loop stands still while some 90 reports come: each device's latest waits
            waiting.append(len(queue))
        time.sleep(0.03)  # then the world's reports come twice as fast as this takes them

    adapter.set_callback_on_scan_updated(slow)
    await adapter.scan_start()
    while not waiting:
        await asyncio.sleep(0.01)
    ticking = asyncio.create_task(ticker())
    await asyncio.sleep(1.5)
    await adapter.scan_stop()
    adapter.set_callback_on_scan_updated(None)
    ticking.cancel()
    assert waiting[0] <= 64 + 3 and len(set(reports)) == 3, waiting
    assert max(late) < 0.5, late
