"""Subscribes to the first characteristic of a device that notifies and prints what arrives, with asyncio.

    python3 notify_aio.py [address] [values]

The default address is the heart rate sensor of the built-in world:
TAVRIN_SIM_WORLD=default python3 notify_aio.py
"""
import asyncio
import sys

import tavrin.aio


async def main(address: str = "0F3E9B7A-52C4-4D1E-8A6B-7C9D0E1F2A3B", wanted: str = "5") -> None:
    adapter = (await tavrin.aio.Adapter.get_adapters())[0]
    async with adapter.scan_reports() as reports:
        device = await asyncio.wait_for(anext_matching(reports, address), 5.0)
    print("Connecting to %s [%s]" % (device.identifier(), device.address()))
    await device.connect()
    try:
        service, characteristic = next((s.uuid(), c.uuid()) for s in device.services()
                                       for c in s.characteristics() if c.can_notify())
        async with device.notifications(service, characteristic) as values:
            print("Subscribed to %s" % characteristic)
            count = 0
            async for value in values:  # the loop stays free for other tasks while it waits
                print("value: %s" % value.hex(" "))
                count += 1
                if count == int(wanted):
                    break
            else:
                print("The link went.")  # the iteration ends with the link
    finally:
        await device.disconnect()
    print("Unsubscribed.")


async def anext_matching(reports: tavrin.aio.ScanReports, address: str) -> tavrin.aio.Peripheral:
    async for peripheral in reports:
        if peripheral.address() == address:
            return peripheral
    raise AssertionError("a scan's reports never end")


if __name__ == "__main__":
    asyncio.run(main(*sys.argv[1:3]))
