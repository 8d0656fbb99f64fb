"""Tavrin: Bluetooth Low Energy access over the library's handles.

The names mirror the C++ API: ``tavrin.Adapter.get_adapters()``, ``adapter.scan_for(ms)``,
``peripheral.connect()``, ``peripheral.read(service, characteristic)`` (``bytes``), ``peripheral.notify(service,
characteristic, callback)`` ... Every call blocks its thread (with the GIL released, so other Python threads
run meanwhile); callbacks run on the library's event queue and follow the C++ API's thread contract.
``tavrin.aio`` is the asyncio face, ``tavrin.testing`` gives pytest fixtures for simulated radios, and
``tavrin.logging`` sets the library's logger.
"""
from __future__ import annotations

import atexit as _atexit
from typing import Any as _Any, Callable as _Callable, Iterable as _Iterable, List as _List
from typing import MutableSequence as _MutableSequence, Sequence as _Sequence, Union as _Union, overload as _overload

from . import _tavrin
from ._tavrin import (
    Adapter,
    AddressType,
    Characteristic,
    CharacteristicNotFound,
    CoreBluetoothException,
    Delivery,
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
    "Delivery",
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


class _ServiceUuids(_MutableSequence[str]):
    """``ScanOptions.service_uuids``: a list of the options' own, so that ``append()``, ``remove()`` and the like
    change the options."""

    __slots__ = ("_options",)

    def __init__(self, options: ScanOptions) -> None:
        self._options = options

    def _change(self, change: _Callable[[_List[str]], object]) -> None:
        uuids = self._options._service_uuids
        change(uuids)
        self._options._service_uuids = uuids

    def __len__(self) -> int:
        return len(self._options._service_uuids)

    @_overload
    def __getitem__(self, index: int) -> str: ...

    @_overload
    def __getitem__(self, index: slice) -> _List[str]: ...

    def __getitem__(self, index: _Union[int, slice]) -> _Union[str, _List[str]]:
        return self._options._service_uuids[index]

    @_overload
    def __setitem__(self, index: int, value: str) -> None: ...

    @_overload
    def __setitem__(self, index: slice, value: _Iterable[str]) -> None: ...

    def __setitem__(self, index: _Any, value: _Any) -> None:
        self._change(lambda uuids: uuids.__setitem__(index, value))

    def __delitem__(self, index: _Union[int, slice]) -> None:
        self._change(lambda uuids: uuids.__delitem__(index))

    def insert(self, index: int, value: str) -> None:
        self._change(lambda uuids: uuids.insert(index, value))

    def __eq__(self, other: object) -> bool:
        if isinstance(other, (list, tuple, _ServiceUuids)):
            return list(self) == list(other)
        return NotImplemented

    def __repr__(self) -> str:
        return repr(self._options._service_uuids)


def _set_service_uuids(options: ScanOptions, uuids: _Sequence[str]) -> None:
    # The extension takes any sequence of str.
    options._service_uuids = list(uuids) if isinstance(uuids, _ServiceUuids) else uuids  # type: ignore[assignment]


# The stubs declare the property made here.
ScanOptions.service_uuids = property(  # type: ignore[assignment]
    _ServiceUuids, _set_service_uuids, doc="The services a device must advertise one of to be reported (a list).")


def _close() -> None:
    # Before the interpreter goes: the log thread ends, and the library's threads stop entering Python
    # (a callback still running gets a few seconds to return).
    logging._shutdown()
    _tavrin._close(5000)


_atexit.register(_close)
