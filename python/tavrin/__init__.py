"""Tavrin: Bluetooth Low Energy access over the library's handles.

The names mirror the C++ API: ``tavrin.Adapter.get_adapters()``, ``adapter.scan_for(ms)``,
``peripheral.connect()``, ``peripheral.read(service, characteristic)`` (``bytes``), ``peripheral.notify(service,
characteristic, callback)`` ... Every call blocks its thread (with the GIL released, so other Python threads
run meanwhile); callbacks run on the library's event queue and follow the C++ API's thread contract.
``tavrin.aio`` is the asyncio face, ``tavrin.testing`` gives pytest fixtures for simulated radios, and
``tavrin.logging`` sets the library's logger.
"""
import atexit as _atexit

from . import _tavrin
from ._tavrin import (
    Adapter,
    AddressType,
    Characteristic,
    CharacteristicNotFound,
    CoreBluetoothException,
    Descriptor,
    DescriptorNotFound,
    InvalidReference,
    IoCapability,
    NotConnected,
    NotInitialized,
    OperationFailed,
    OperationNotSupported,
    PairingAgent,
    Peripheral,
    ScanOptions,
    Service,
    ServiceNotFound,
    TavrinError,
    TimeLimits,
    WinRTException,
)
from . import logging

__all__ = [
    "Adapter",
    "AddressType",
    "Characteristic",
    "CharacteristicNotFound",
    "CoreBluetoothException",
    "Descriptor",
    "DescriptorNotFound",
    "InvalidReference",
    "IoCapability",
    "NotConnected",
    "NotInitialized",
    "OperationFailed",
    "OperationNotSupported",
    "PairingAgent",
    "Peripheral",
    "ScanOptions",
    "Service",
    "ServiceNotFound",
    "TavrinError",
    "TimeLimits",
    "WinRTException",
    "logging",
]


def _close():
    # Before the interpreter goes: the log thread ends, and the library's threads stop entering Python
    # (a callback still running gets a few seconds to return).
    logging._shutdown()
    _tavrin._close(5000)


_atexit.register(_close)
