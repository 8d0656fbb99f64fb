"""The peer's side of the idle-waits race (idle_waits): the process's CPU while it waits 2 s in a
disconnection, in a connection nobody answers, and in a read answered 2 s late. Prints one JSON object.

    idle_bleak.py <quick address> <mute address> <slow address>
"""
import asyncio
import json
import sys
import time

from bleak import BleakClient, BleakScanner

VALUE = "fb1e6002-54ae-4a28-9f74-dfccb248601d"


async def timed(figures, name, step):
    cpu, wall = time.process_time(), time.perf_counter()
    await step
    figures[name + "_cpu_ms"] = (time.process_time() - cpu) * 1e3
    figures[name + "_wall_ms"] = (time.perf_counter() - wall) * 1e3


async def race(quick, mute, slow):
    figures = {}
    devices = {}
    scanner = BleakScanner(detection_callback=lambda d, _a: devices.setdefault(d.address, d))
    await scanner.start()
    await asyncio.sleep(1.0)
    await scanner.stop()

    client = BleakClient(devices[quick])
    await client.connect()
    await timed(figures, "disconnect", client.disconnect())

    async def hang():
        try:
            await BleakClient(devices[mute], timeout=2.0).connect()
        except Exception:
            pass
    await timed(figures, "connect_unanswered", hang())

    client = BleakClient(devices[slow], timeout=30.0)
    await client.connect()
    await timed(figures, "read_late", client.read_gatt_char(VALUE))
    await client.disconnect()
    return figures


if __name__ == "__main__":
    print(json.dumps(asyncio.run(race(*sys.argv[1:4]))))
