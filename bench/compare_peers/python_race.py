"""The Python module's side of the peer race: the scenario of tavrin_race.cpp through `tavrin` (the blocking
API, with Python callbacks), then the notifications once more through `tavrin.aio` (values delivered into an
asyncio loop); each stream through bluetoothd's signals, then through a socket of the program's own
(tavrin.Delivery.EXCLUSIVE). Prints one JSON object with the figures.

    PYTHONPATH=<build>/python python_race.py <plug address> [notifications]
"""
import asyncio
import json
import sys
import threading
import time

import tavrin
import tavrin.aio

PLUG_SERVICE = "fb1e4001-54ae-4a28-9f74-dfccb248601d"
COMMAND = "fb1e4002-54ae-4a28-9f74-dfccb248601d"
STATUS = "fb1e4003-54ae-4a28-9f74-dfccb248601d"
COUNTER_SERVICE = "fb1e5001-54ae-4a28-9f74-dfccb248601d"
COUNTER = "fb1e5002-54ae-4a28-9f74-dfccb248601d"
CYCLE = 80000  # the counter's values, in turn (make_world.py)


def percentile(samples, p):
    samples = sorted(samples)
    return samples[int(p * (len(samples) - 1) + 0.5)]


def race(plug_address, wanted):
    figures = {}
    adapter = tavrin.Adapter.get_adapters()[0]
    advertisements = 0

    def seen(_peripheral):
        nonlocal advertisements
        advertisements += 1

    adapter.set_callback_on_scan_found(seen)
    adapter.set_callback_on_scan_updated(seen)
    cpu = time.process_time()
    adapter.scan_for(2000)
    cpu = time.process_time() - cpu
    adapter.set_callback_on_scan_found(None)
    adapter.set_callback_on_scan_updated(None)
    results = adapter.scan_get_results()
    figures["scan_advertisements"] = advertisements
    figures["scan_devices"] = len(results)
    figures["scan_cpu_us_per_advertisement"] = cpu * 1e6 / advertisements if advertisements else 0.0
    plug = next((p for p in results if p.address() == plug_address), None)
    if plug is None:
        raise SystemExit("the plug %s was not found" % plug_address)

    time.sleep(0.1)  # the end of the scan settles first, as on the other sides
    start = time.perf_counter()
    plug.connect()
    figures["connect_discovery_ms"] = (time.perf_counter() - start) * 1e3

    reads, writes = [], []
    for _ in range(200):
        start = time.perf_counter()
        plug.read(PLUG_SERVICE, STATUS)
        reads.append((time.perf_counter() - start) * 1e3)
    off = b"\t" + b'{"mode":3,"switch":0}'
    for _ in range(200):
        start = time.perf_counter()
        plug.write_request(PLUG_SERVICE, COMMAND, off)
        writes.append((time.perf_counter() - start) * 1e3)
    figures["read_median_ms"] = percentile(reads, 0.5)
    figures["read_p99_ms"] = percentile(reads, 0.99)
    figures["write_median_ms"] = percentile(writes, 0.5)
    figures["write_p99_ms"] = percentile(writes, 0.99)

    stream(plug, tavrin.Delivery.SHARED, wanted, figures, "")
    stream(plug, tavrin.Delivery.EXCLUSIVE, wanted, figures, "socket_")
    aio_plug = tavrin.aio.Peripheral(plug)
    asyncio.run(race_aio(aio_plug, tavrin.Delivery.SHARED, wanted, figures, "aio_"))
    asyncio.run(race_aio(aio_plug, tavrin.Delivery.EXCLUSIVE, wanted, figures, "aio_socket_"))
    plug.disconnect()
    return figures


def stream(plug, delivery, wanted, figures, prefix):
    received = lost = 0
    previous = None
    finished = threading.Event()

    def value(data):
        nonlocal received, lost, previous
        n = int.from_bytes(data[:4], "little")
        if previous is not None:
            lost += (n - previous - 1) % CYCLE
        previous = n
        received += 1
        if received == wanted:
            finished.set()

    plug.notify(COUNTER_SERVICE, COUNTER, value, delivery=delivery)
    cpu = time.process_time()
    finished.wait(60)
    cpu = time.process_time() - cpu
    counted = received  # the values the CPU time covers; more may come until the unsubscription
    plug.unsubscribe(COUNTER_SERVICE, COUNTER)
    figures[prefix + "notifications"] = counted
    figures[prefix + "notifications_lost"] = lost if received else wanted
    figures[prefix + "notify_cpu_us_per_value"] = cpu * 1e6 / counted if counted else 0.0


async def race_aio(plug, delivery, wanted, figures, prefix):
    received = lost = 0
    previous = None
    finished = asyncio.Event()

    def value(data):
        nonlocal received, lost, previous
        n = int.from_bytes(data[:4], "little")
        if previous is not None:
            lost += (n - previous - 1) % CYCLE
        previous = n
        received += 1
        if received == wanted:
            finished.set()

    await plug.notify(COUNTER_SERVICE, COUNTER, value, delivery=delivery)
    cpu = time.process_time()
    try:
        await asyncio.wait_for(finished.wait(), 60)
    except asyncio.TimeoutError:
        pass
    cpu = time.process_time() - cpu
    await plug.unsubscribe(COUNTER_SERVICE, COUNTER)
    figures[prefix + "notifications"] = received
    figures[prefix + "notifications_lost"] = lost
    figures[prefix + "notify_cpu_us_per_value"] = cpu * 1e6 / received if received else 0.0


if __name__ == "__main__":
    print(json.dumps(race(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 10000)))
