"""The peer's side of the race: the same scenario as tavrin_race.cpp, through the peer library on the
system bus that DBUS_SYSTEM_BUS_ADDRESS names. Prints one JSON object with the figures.

    bleak_race.py <plug address> [notifications]
"""
import asyncio
import json
import sys
import time

from bleak import BleakClient, BleakScanner

PLUG_SERVICE = "fb1e4001-54ae-4a28-9f74-dfccb248601d"
COMMAND = "fb1e4002-54ae-4a28-9f74-dfccb248601d"
STATUS = "fb1e4003-54ae-4a28-9f74-dfccb248601d"
COUNTER = "fb1e5002-54ae-4a28-9f74-dfccb248601d"
SINK = "fb1e5003-54ae-4a28-9f74-dfccb248601d"
WRITE_COMMANDS = 5000
CYCLE = 80000  # the counter's values, in turn (make_world.py); the world may have cycled through them before


def percentile(samples, p):
    samples = sorted(samples)
    return samples[int(p * (len(samples) - 1) + 0.5)]


async def race(plug_address, wanted):
    figures = {}
    advertisements = 0
    devices = {}

    def seen(device, _advertisement):
        nonlocal advertisements
        advertisements += 1
        devices[device.address] = device

    # Every report, as Tavrin's scan asks for it too.
    scanner = BleakScanner(detection_callback=seen, bluez={"filters": {"DuplicateData": True}})
    cpu = time.process_time()
    await scanner.start()
    await asyncio.sleep(2.0)
    await scanner.stop()
    cpu = time.process_time() - cpu
    figures["scan_advertisements"] = advertisements
    figures["scan_devices"] = len(devices)
    figures["scan_cpu_us_per_advertisement"] = cpu * 1e6 / advertisements if advertisements else 0.0

    plug = devices.get(plug_address)
    if plug is None:
        raise SystemExit("the plug %s was not found" % plug_address)

    client = BleakClient(plug)
    # The end of the scan settles first (bluetoothd drops every device's RSSI), so that only the connection is timed.
    await asyncio.sleep(0.1)
    start = time.perf_counter()
    await client.connect()  # connects and discovers every service, characteristic and descriptor
    figures["connect_discovery_ms"] = (time.perf_counter() - start) * 1e3

    reads = []
    for _ in range(200):
        start = time.perf_counter()
        await client.read_gatt_char(STATUS)
        reads.append((time.perf_counter() - start) * 1e3)
    writes = []
    off = b"\t" + b'{"mode":3,"switch":0}'
    for _ in range(200):
        start = time.perf_counter()
        await client.write_gatt_char(COMMAND, off, response=True)
        writes.append((time.perf_counter() - start) * 1e3)
    figures["read_median_ms"] = percentile(reads, 0.5)
    figures["read_p99_ms"] = percentile(reads, 0.99)
    figures["write_median_ms"] = percentile(writes, 0.5)
    figures["write_p99_ms"] = percentile(writes, 0.99)

    received = lost = 0
    previous = None
    finished = asyncio.Event()

    def value(_characteristic, data):
        nonlocal received, lost, previous
        n = int.from_bytes(bytes(data[:4]), "little")
        if previous is not None:
            lost += (n - previous - 1) % CYCLE
        previous = n
        received += 1
        if received == wanted:
            finished.set()

    await client.start_notify(COUNTER, value)
    cpu = time.process_time()
    try:
        await asyncio.wait_for(finished.wait(), 60)
    except asyncio.TimeoutError:
        pass
    cpu = time.process_time() - cpu
    await client.stop_notify(COUNTER)
    figures["notifications"] = received
    figures["notifications_lost"] = lost if received else wanted
    figures["notify_cpu_us_per_value"] = cpu * 1e6 / received if received else 0.0

    # Writes without response, back to back.
    payload = bytes(range(1, 9))
    cpu = time.process_time()
    start = time.perf_counter()
    for _ in range(WRITE_COMMANDS):
        await client.write_gatt_char(SINK, payload, response=False)
    figures["write_commands_per_s"] = WRITE_COMMANDS / (time.perf_counter() - start)
    figures["write_command_cpu_us_per_write"] = (time.process_time() - cpu) * 1e6 / WRITE_COMMANDS
    await client.disconnect()
    return figures


if __name__ == "__main__":
    wanted = int(sys.argv[2]) if len(sys.argv) > 2 else 10000
    print(json.dumps(asyncio.run(race(sys.argv[1], wanted))))
