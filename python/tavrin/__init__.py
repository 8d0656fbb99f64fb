"""Tavrin: Bluetooth Low Energy access over the library's handles.

The names mirror the C++ API: ``tavrin.Adapter.get_adapters()``, ``adapter.scan_for(ms)``,
``peripheral.connect()``, ``peripheral.read(service, characteristic)`` (``bytes``), ``peripheral.notify(service,
characteristic, callback)`` ... Every call blocks its thread (with the GIL released, so other Python threads
run meanwhile); callbacks run on the library's event queue and follow the C++ API's thread contract.
``tavrin.aio`` is the asyncio face, ``tavrin.testing`` gives pytest fixtures for simulated radios, and
``tavrin.logging`` sets the library's logger.
"""
import atexit as _atexit
from collections.abc import MutableSequence as _MutableSequence

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


class _ServiceUuids(_MutableSequence):
    """``ScanOptions.service_uuids``: a list of the options' own, so that ``append()``, ``remove()`` and the like
    change the options."""

    __slots__ = ("_options",)

    def __init__(self, options):
        self._options = options

    def _change(self, change):
        uuids = self._options._service_uuids
        change(uuids)
        self._options._service_uuids = uuids

    def __len__(self):
        return len(self._options._service_uuids)

    def __getitem__(self, index):
        return self._options._service_uuids[index]

    def __setitem__(self, index, value):
        self._change(lambda uuids: uuids.__setitem__(index, value))

    def __delitem__(self, index):
        self._change(lambda uuids: uuids.__delitem__(index))

    def insert(self, index, value):
        self._change(lambda uuids: uuids.insert(index, value))

    def __eq__(self, other):
        if isinstance(other, (list, tuple, _ServiceUuids)):
            return list(self) == list(other)
        return NotImplemented

    def __repr__(self):
        return repr(self._options._service_uuids)


def _set_service_uuids(options, uuids):
    options._service_uuids = list(uuids) if isinstance(uuids, _ServiceUuids) else uuids


ScanOptions.service_uuids = property(_ServiceUuids, _set_service_uuids,
                                     doc="The services a device must advertise one of to be reported (a list).")


def _close():
    # Before the interpreter goes: the log thread ends, and the library's threads stop entering Python
    # (a callback still running gets a few seconds to return).
    logging._shutdown()
    _tavrin._close(5000)


_atexit.register(_close)
