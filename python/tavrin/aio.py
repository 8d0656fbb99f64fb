"""tavrin.aio: the asyncio face over the same handles.

Every operation that waits (connect, read, write, subscribe, disconnect, scans) is a coroutine that runs the
blocking call on a worker thread, so the event loop never blocks; queries (``identifier()``, ``rssi()``,
``services()`` ...) answer at once and are plain methods. Callbacks (values, scan reports, connection
events) run in the event loop, in order. ::

    adapter = (await tavrin.aio.Adapter.get_adapters())[0]
    async with adapter.scan_reports() as reports:
        async for peripheral in reports:
            if peripheral.identifier() == "Tavrin Plug":
                break
    await peripheral.connect()
    async with peripheral.notifications(service, characteristic) as values:
        async for value in values:
            ...

Cancelling a coroutine that awaits an operation leaves the library consistent: the blocking call cannot be
interrupted, so it runs to its end on its worker, and what it left behind that the caller was never told of
is undone there (a cancelled ``connect`` that succeeded is disconnected, a cancelled ``notify`` is
unsubscribed; a cancelled scan is stopped at once). Later operations on the same handle wait for that to
finish first. A cancelled write may still have reached the device.
"""
from __future__ import annotations

import asyncio
import collections
import concurrent.futures
import functools
import threading
import time
import weakref
from types import TracebackType
from typing import (TYPE_CHECKING, Any, AsyncGenerator, Awaitable, Callable, Deque, Dict, List, Optional, Set, Tuple, Type, TypeVar,
                    Union)

import tavrin as _tavrin
from . import _tavrin as _ext

_T = TypeVar("_T")
_F = TypeVar("_F", bound=Callable[..., Any])
_Bytes = Union[bytes, bytearray, memoryview]

__all__ = ["Adapter", "Peripheral", "Notifications", "ScanReports"]

# The worker threads for blocking calls; each waits in the library with the GIL released.
_executor = concurrent.futures.ThreadPoolExecutor(max_workers=8, thread_name_prefix="tavrin-aio")


def _checked(callback: object, what: str, none_removes: bool = True) -> None:
    """Refuses ``callback`` with TypeError unless callable (or None where None removes): one that is not would only
    fail later, in the loop."""
    if callback is None and none_removes or callable(callback):
        return
    raise TypeError("%s must be callable%s, not %s" % (what, " or None" if none_removes else "", type(callback).__name__))


def _into_loop(loop: asyncio.AbstractEventLoop, callback: Callable[..., object]) -> Callable[..., None]:
    """A callable for library threads that delivers its arguments to ``callback`` in ``loop``, in order, waking
    the loop once per batch rather than once per call. The loop is held weakly: once it is gone, calls do nothing."""
    held = weakref.ref(loop)
    pending: Deque[Tuple[Any, ...]] = collections.deque()
    lock = threading.Lock()
    scheduled = False

    def drain() -> None:
        nonlocal scheduled
        with lock:
            scheduled = False
        while pending:
            callback(*pending.popleft())

    def deliver(*args: Any) -> None:
        nonlocal scheduled
        running = held()
        if running is None or running.is_closed():
            return  # nobody is left to receive it
        pending.append(args)
        with lock:
            if scheduled:
                return
            scheduled = True
        try:
            running.call_soon_threadsafe(drain)
        except RuntimeError:
            pass  # the loop closed meanwhile

    return deliver


def _awaited(loop: asyncio.AbstractEventLoop, fn: Optional[_F]) -> Optional[_F]:
    """``fn`` for the library's agent threads: a coroutine function runs in ``loop`` (held weakly), its thread
    waiting for it."""
    if fn is None or not asyncio.iscoroutinefunction(fn):
        return fn
    held = weakref.ref(loop)
    coroutine_function: Callable[..., Any] = fn

    def stopped() -> RuntimeError:
        return RuntimeError("the event loop of the pairing agent stopped")

    def ask(*args: Any) -> Any:
        running = held()
        if running is None or running.is_closed():
            raise stopped()
        future = asyncio.run_coroutine_threadsafe(coroutine_function(*args), running)
        while True:
            try:
                return future.result(timeout=0.5)
            except concurrent.futures.TimeoutError:
                # A loop that stopped will never answer: the agent refuses rather than wait for ever.
                if running.is_closed() or not running.is_running():
                    future.cancel()
                    raise stopped() from None

    return ask  # type: ignore[return-value]


# How long the values of a stream may wait to be taken together. One after a quiet spell comes at once; then
# the loop takes what came every 5 ms, and, while each take finds more, every 10 then 20 ms: each wake of the
# loop costs far more than a value, so a dense stream is cheapest in few large batches.
_BATCH_SECONDS = (0.005, 0.01, 0.02)
# What one turn of the loop hands out: at most this many values taken at once, and callbacks for at most this long
# (at least one); the rest waits for the loop's next turn, after what else is ready then, so that slow callbacks
# never hold the loop for long.
_TAKE_LIMIT = 256
_TURN_SECONDS = 0.01


class _LoopValues:
    """The values of the subscriptions and the scan reports wanted in one loop: queued by the library's threads
    without the GIL, woken through one descriptor the loop watches, and handed to each one's callback in
    order. The loop is held weakly; when it closes or goes, or nothing of it is wanted any more, ``release`` lets go
    of all of it."""

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self._loop = weakref.ref(loop)
        self._queue = _ext._LoopQueue()
        self._callbacks: Dict[int, Callable[[Any], object]] = {}
        self._unhooks: Dict[int, Callable[[], object]] = {}  # key -> what removes the library's callback that feeds it
        self._forgotten: Dict[int, Callable[[], object]] = {}  # key -> what runs once that key is forgotten
        self._next_key = 0
        self._takes = 0  # takes in a row that found values
        self._left: Deque[Tuple[int, object]] = collections.deque()  # (key, value) taken but not handed out yet
        loop.add_reader(self._queue.fileno(), self._drain)
        # asyncio.run() (and whoever runs loop.shutdown_asyncgens()) closes the loop's open async generators before
        # closing it: this one's end releases everything of the loop then.
        self._until_closed: Optional[AsyncGenerator[None, None]] = _until_closed(self)
        try:
            self._until_closed.asend(None).send(None)  # type: ignore[attr-defined]
        except StopIteration:
            pass  # it waits at its yield

    def _running(self) -> asyncio.AbstractEventLoop:
        loop = self._loop()
        assert loop is not None  # the loop's own callbacks run only while it is there
        return loop

    def _drain(self) -> None:
        more = bool(self._left)  # taken last turn, not handed out yet: their turn first
        if not more:
            self._left.extend(self._queue.take(_TAKE_LIMIT))
            if not self._left:
                self._takes = 0
                return  # quiet: the next value wakes the loop at once
            more = len(self._left) == _TAKE_LIMIT
        try:
            deadline = time.monotonic() + _TURN_SECONDS
            callbacks = self._callbacks
            while self._left:
                key, value = self._left.popleft()
                callback = callbacks.get(key)
                if callback is None:
                    continue  # its subscription or callback ended: what is still queued for it goes nowhere
                try:
                    callback(value)
                except Exception as e:  # one failing callback must not cost the values after it
                    self._running().call_exception_handler({"message": "tavrin.aio value callback failed",
                                                         "exception": e})
                if time.monotonic() >= deadline:
                    break
        finally:
            if self._left or more:
                self._running().call_soon(self._drain)  # more wait
            else:
                # A stream: the next values wait for this timer rather than each waking the loop.
                self._running().call_later(_BATCH_SECONDS[min(self._takes, len(_BATCH_SECONDS) - 1)], self._drain)
                self._takes += 1

    def add(self, callback: Callable[[Any], object], latest: bool = False,
            forgotten: Optional[Callable[[], object]] = None) -> Tuple[int, _ext._LoopSink]:
        """A key for ``callback`` and the sink that the library's notify and report setters take; ``latest``: the
        reports are repeats, of which a long backlog keeps each device's latest (see LoopQueue.h). ``forgotten()``
        runs in the loop once the key is forgotten (its subscription ended)."""
        key = self._next_key
        self._next_key += 1
        self._callbacks[key] = callback
        if forgotten is not None:
            self._forgotten[key] = forgotten
        return key, self._queue.sink(key, latest)

    def end(self, key: int) -> None:
        """From any thread: ``key``'s callback gets None after every value queued for it so far."""
        self._queue.end(key)

    def hooked(self, key: int, unhook: Callable[[], object]) -> None:
        """``unhook()`` removes the library's callback that feeds ``key``, if the loop goes first."""
        if key in self._callbacks:
            self._unhooks[key] = unhook

    def forget(self, key: int) -> None:
        self._callbacks.pop(key, None)
        self._unhooks.pop(key, None)
        forgotten = self._forgotten.pop(key, None)
        if forgotten is not None:
            forgotten()
        if not self._callbacks:
            self.release()  # nothing of the loop is wanted any more; the next wish makes anew

    def release(self) -> None:
        """The loop is closing, closed or gone: its descriptor closes, what is queued for it and what comes later is
        dropped, and the library no longer calls what fed it. Does something once; in the loop while it runs, on any
        thread once it closed."""
        loop = self._loop()
        fileno = self._queue.fileno()
        if loop is not None and _loop_values.get(loop) is self:
            del _loop_values[loop]
        if loop is not None and not loop.is_closed() and fileno >= 0:
            loop.remove_reader(fileno)
        self._queue.close()
        self._callbacks.clear()
        self._forgotten.clear()
        self._left.clear()
        # The generator holds the loop (its finalizer is the loop's): let go of it, so that the loop may go.
        self._until_closed = None
        unhooks, self._unhooks = list(self._unhooks.values()), {}
        for unhook in unhooks:
            unhook()


async def _until_closed(values: _LoopValues) -> AsyncGenerator[None, None]:
    try:
        yield
    finally:
        values.release()


_loop_values: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, _LoopValues] = weakref.WeakKeyDictionary()  # loop -> _LoopValues, in the loops' threads (dict steps under the GIL)


def _values_of(loop: asyncio.AbstractEventLoop) -> _LoopValues:
    # A loop that closed, but that something still holds, lets go here; one that went, as it goes.
    for other, of_other in list(_loop_values.items()):
        if other.is_closed():
            _loop_values.pop(other, None)
            of_other.release()
    values = _loop_values.get(loop)
    if values is None:
        values = _loop_values[loop] = _LoopValues(loop)
        weakref.finalize(loop, values.release).atexit = False
    return values


class _Handle:
    """What the asyncio wrappers share: blocking calls on the workers, and cleanups after cancellation."""

    def __init__(self, handle: Any) -> None:
        self._handle = handle
        # Futures of cancelled calls and their undoing, not yet over: added in the loop, discarded by workers
        # (single set operations are atomic under the GIL).
        self._cleanups: Set[concurrent.futures.Future[Any]] = set()

    async def _call(self, fn: Callable[..., _T], *args: Any, undo: Optional[Callable[[], object]] = None,
                    cut: Optional[Callable[[], object]] = None) -> _T:
        """``undo``: what a cancelled call that succeeded all the same leaves to undo; ``cut``: what ends the call
        early when it is cancelled (it must not block)."""
        await self.settle()
        running = _executor.submit(fn, *args)
        try:
            return await asyncio.shield(asyncio.wrap_future(running))
        except asyncio.CancelledError:
            if cut is not None:
                _quietly(cut)
            self._after_cancel(running, undo)
            raise

    def _after_cancel(self, running: concurrent.futures.Future[Any], undo: Optional[Callable[[], object]]) -> None:
        over: concurrent.futures.Future[None] = concurrent.futures.Future()
        self._cleanups.add(over)
        over.add_done_callback(self._cleanups.discard)
        if isinstance(undo, _ConnectUndo):
            undo.pending(over)

        def finished(call: concurrent.futures.Future[Any]) -> None:
            if undo is None or call.cancelled() or call.exception() is not None:
                over.set_result(None)
                return
            _executor.submit(_quietly, undo).add_done_callback(lambda _: over.set_result(None))

        running.add_done_callback(finished)

    async def settle(self) -> None:
        """Waits until the calls cancelled on this handle have ended, and what they left is undone."""
        for over in list(self._cleanups):
            await asyncio.shield(asyncio.wrap_future(over))

    # The queries both handles have, answered at once by the blocking handle.
    def initialized(self) -> bool:
        return bool(self._handle.initialized())

    def identifier(self) -> str:
        return str(self._handle.identifier())

    def address(self) -> str:
        return str(self._handle.address())

    def time_limits(self) -> _tavrin.TimeLimits:
        limits: _tavrin.TimeLimits = self._handle.time_limits()
        return limits

    def set_time_limits(self, limits: _tavrin.TimeLimits) -> None:
        self._handle.set_time_limits(limits)

    if not TYPE_CHECKING:
        def __getattr__(self, name):
            # The queries answer at once: they are the handle's own methods (those of the API are spelled out
            # below, for the types).
            return getattr(self._handle, name)


_connect_undos_lock = threading.Lock()
_connect_undos: Dict[str, _ConnectUndo] = {}  # device address -> _ConnectUndo not over yet; guarded by _connect_undos_lock


class _ConnectUndo:
    """The disconnection that undoes a cancelled connect, kept by device rather than by handle: every
    ``scan_get_results()`` makes new handles of the same device, and a connect made later through any of them
    supersedes it."""

    def __init__(self, device: str, disconnect: Callable[[], object]) -> None:
        self._device = device
        self._disconnect = disconnect
        self._superseded = False  # guarded by _connect_undos_lock
        self._started = False  # guarded by _connect_undos_lock
        self._over: Optional[concurrent.futures.Future[None]] = None

    def pending(self, over: concurrent.futures.Future[None]) -> None:
        """The connect was cancelled; ``over`` completes once this undo has run or been dropped."""
        self._over = over
        with _connect_undos_lock:
            _connect_undos[self._device] = self
        over.add_done_callback(lambda _: self._forget())

    def _forget(self) -> None:
        with _connect_undos_lock:
            if _connect_undos.get(self._device) is self:
                del _connect_undos[self._device]

    def __call__(self) -> None:
        with _connect_undos_lock:
            if self._superseded:
                return
            self._started = True
        self._disconnect()

    @staticmethod
    def supersede(device: str) -> Optional[concurrent.futures.Future[None]]:
        """For a connect of ``device``: drops the undo that has not started; returns the end of one under way."""
        with _connect_undos_lock:
            undo = _connect_undos.get(device)
            if undo is None:
                return None
            if undo._started:
                return undo._over
            undo._superseded = True
            del _connect_undos[device]
            return None


def _quietly(undo: Callable[[], object]) -> None:
    try:
        undo()
    except _tavrin.TavrinError:
        pass  # the link may be gone already: there is nothing left to undo


_link_watches_lock = threading.Lock()
_link_watches: Dict[str, _LinkWatch] = {}  # device address -> _LinkWatch; guarded by _link_watches_lock


class _LinkWatch:
    """The library keeps one disconnected callback per device, whichever handle set it: while tavrin.aio needs it,
    it holds this one, which ends the device's notification streams and calls the program's callback set through
    tavrin.aio. Kept by device, as every ``scan_get_results()`` makes new handles of the same device."""

    def __init__(self) -> None:
        # The program's, callable on any thread; guarded by _link_watches_lock.
        self._callback: Optional[Callable[[], object]] = None
        self._ends: Set[Callable[[], object]] = set()  # what ends each stream of the device, callable on any thread; guarded by _link_watches_lock
        # Held while the library is given the callback, so that the last change is the one it keeps. Never taken by
        # the callback itself, which the library's setter may wait for.
        self._setting = threading.Lock()

    @staticmethod
    def of(device: str) -> _LinkWatch:
        with _link_watches_lock:
            return _link_watches.setdefault(device, _LinkWatch())

    def __call__(self) -> None:
        # On the library's thread, after the values that came before the link went.
        with _link_watches_lock:
            ends, callback = list(self._ends), self._callback
        for end in ends:
            end()
        if callback is not None:
            callback()

    def change(self, handle: _tavrin.Peripheral, callback: Union[Callable[[], object], None, bool] = False,
               add: Optional[Callable[[], object]] = None, remove: Optional[Callable[[], object]] = None) -> None:
        """Sets the program's ``callback`` (unless False), adds or removes a stream's end, and gives the library this
        watch, or no callback once nothing needs one."""
        with self._setting:
            with _link_watches_lock:
                if not isinstance(callback, bool):
                    self._callback = callback
                if add is not None:
                    self._ends.add(add)
                if remove is not None:
                    self._ends.discard(remove)
                wanted = self._callback is not None or bool(self._ends)
            handle.set_callback_on_disconnected(self if wanted else None)


class Peripheral(_Handle):
    """A peripheral; the queries of tavrin.Peripheral are here too, unchanged."""

    def __init__(self, handle: _tavrin.Peripheral) -> None:
        super().__init__(handle)
        self._handle: _tavrin.Peripheral = handle
        # (service, characteristic) -> (the loop's values, the callback's key)
        self._subscriptions: Dict[Tuple[str, str], Tuple[_LoopValues, int]] = {}

    @property
    def handle(self) -> _tavrin.Peripheral:
        """The blocking tavrin.Peripheral underneath."""
        return self._handle

    # The queries, answered at once by the blocking handle.
    def address_type(self) -> _tavrin.AddressType:
        return self._handle.address_type()

    def rssi(self) -> int:
        return self._handle.rssi()

    def tx_power(self) -> int:
        return self._handle.tx_power()

    def mtu(self) -> int:
        return self._handle.mtu()

    def is_connected(self) -> bool:
        return self._handle.is_connected()

    def is_connectable(self) -> bool:
        return self._handle.is_connectable()

    def is_paired(self) -> bool:
        return self._handle.is_paired()

    def services(self) -> List[_tavrin.Service]:
        return self._handle.services()

    def manufacturer_data(self) -> Dict[int, bytes]:
        return self._handle.manufacturer_data()

    async def connect(self) -> None:
        device = self._handle.address()
        # A cancelled connect of this device, through any handle, is not undone after this one; one being undone
        # ends first.
        undoing = _ConnectUndo.supersede(device)
        if undoing is not None:
            await asyncio.shield(asyncio.wrap_future(undoing))
        await self._call(self._handle.connect, undo=_ConnectUndo(device, self._handle.disconnect))

    async def disconnect(self) -> None:
        await self._call(self._handle.disconnect)
        self._forget_subscriptions()

    def _forget_subscriptions(self) -> None:
        # Subscriptions end with the link.
        for values, key in self._subscriptions.values():
            values.forget(key)
        self._subscriptions.clear()

    async def pair(self) -> None:
        """Pairs, connecting first if needed, asking the adapter's agent. Cancelled, the pairing is cancelled
        too; one that the system completed as it was cancelled stays (a bond is not undone behind the caller's
        back)."""
        await self._call(self._handle.pair, cut=self._handle.cancel_pairing)

    async def unpair(self) -> None:
        """Forgets the bond, disconnecting first if connected."""
        await self._call(self._handle.unpair)
        self._forget_subscriptions()

    async def read(self, service: str, characteristic: str, descriptor: Optional[str] = None) -> bytes:
        if descriptor is None:
            return await self._call(self._handle.read, service, characteristic)
        return await self._call(self._handle.read, service, characteristic, descriptor)

    async def write_request(self, service: str, characteristic: str, data: _Bytes) -> None:
        await self._call(self._handle.write_request, service, characteristic, data)

    async def write_command(self, service: str, characteristic: str, data: _Bytes) -> None:
        await self._call(self._handle.write_command, service, characteristic, data)

    async def write(self, service: str, characteristic: str, descriptor: str, data: _Bytes) -> None:
        await self._call(self._handle.write, service, characteristic, descriptor, data)

    async def notify(self, service: str, characteristic: str, callback: Callable[[bytes], object], *,
                     delivery: _tavrin.Delivery = _tavrin.Delivery.SHARED) -> None:
        """Subscribes; ``callback(value)`` runs in the running loop for each value, in order. ``delivery``: as
        for the blocking ``Peripheral.notify``."""
        await self._subscribe(functools.partial(self._handle.notify, delivery=delivery), service, characteristic,
                              callback)

    async def indicate(self, service: str, characteristic: str, callback: Callable[[bytes], object]) -> None:
        await self._subscribe(self._handle.indicate, service, characteristic, callback)

    async def _subscribe(self, subscribe: Callable[[str, str, Any], None], service: str, characteristic: str,
                         callback: Callable[[Any], object],
                         forgotten: Optional[Callable[[], object]] = None) -> Tuple[_LoopValues, int]:
        _checked(callback, "the value callback", none_removes=False)
        values = _values_of(asyncio.get_running_loop())
        key, sink = values.add(callback, forgotten=forgotten)
        try:
            await self._call(subscribe, service, characteristic, sink,
                             undo=lambda: self._handle.unsubscribe(service, characteristic))
        except BaseException:
            values.forget(key)
            raise
        replaced = self._subscriptions.get((service, characteristic))
        self._subscriptions[(service, characteristic)] = (values, key)
        values.hooked(key, lambda: self._loop_gone(service, characteristic, values, key))
        if replaced is not None:
            replaced[0].forget(replaced[1])
        return values, key

    def _loop_gone(self, service: str, characteristic: str, values: _LoopValues, key: int) -> None:
        # The subscription's loop closed: its values have nowhere to go, so it ends (later calls on this handle wait
        # for that).
        if self._subscriptions.get((service, characteristic)) != (values, key):
            return
        del self._subscriptions[(service, characteristic)]
        try:
            ending = _executor.submit(_quietly, lambda: self._handle.unsubscribe(service, characteristic))
        except RuntimeError:
            return  # the interpreter is exiting
        self._cleanups.add(ending)
        ending.add_done_callback(self._cleanups.discard)

    async def unsubscribe(self, service: str, characteristic: str) -> None:
        await self._call(self._handle.unsubscribe, service, characteristic)
        self._forget_subscription(service, characteristic)

    def _forget_subscription(self, service: str, characteristic: str,
                             subscription: Optional[Tuple[_LoopValues, int]] = None) -> None:
        # That subscription (if given), or the characteristic's.
        ended = self._subscriptions.get((service, characteristic))
        if ended is not None and (subscription is None or ended == subscription):
            del self._subscriptions[(service, characteristic)]
            ended[0].forget(ended[1])

    def notifications(self, service: str, characteristic: str, indicate: bool = False, *,
                      delivery: _tavrin.Delivery = _tavrin.Delivery.SHARED) -> Notifications:
        """``async with peripheral.notifications(s, c) as values: async for value in values``: subscribed
        inside the block, unsubscribed when it ends. ``delivery`` counts for notifications, not indications."""
        return Notifications(self, service, characteristic, indicate, delivery)

    def set_callback_on_connected(self, callback: Optional[Callable[[], object]]) -> None:
        _checked(callback, "set_callback_on_connected's callback")
        self._handle.set_callback_on_connected(
            None if callback is None else _into_loop(asyncio.get_running_loop(), callback))

    def set_callback_on_disconnected(self, callback: Optional[Callable[[], object]]) -> None:
        """``callback()`` runs in the running loop when the link goes; None removes it. The notification streams of
        the device end then too, whatever is set here."""
        _checked(callback, "set_callback_on_disconnected's callback")
        _LinkWatch.of(self._handle.address()).change(
            self._handle, callback=None if callback is None else _into_loop(asyncio.get_running_loop(), callback))

    def __repr__(self) -> str:
        return "<tavrin.aio.Peripheral %s>" % repr(self._handle)[1:-1]


class Notifications:
    """The values of one subscription as an async iterator; see Peripheral.notifications. The iteration ends
    (StopAsyncIteration) once the values that came before are handed out, when the link goes or the subscription
    ends otherwise (an unsubscribe, a disconnect, another subscription of the characteristic)."""

    def __init__(self, peripheral: Peripheral, service: str, characteristic: str, indicate: bool,
                 delivery: _tavrin.Delivery = _tavrin.Delivery.SHARED) -> None:
        self._peripheral = peripheral
        self._delivery = delivery
        self._service = service
        self._characteristic = characteristic
        self._indicate = indicate
        self._queue: asyncio.Queue[Optional[bytes]] = asyncio.Queue()  # values, then None once the stream ended
        # (the loop's values, the key), once subscribed; read on the library's thread
        self._subscription: Optional[Tuple[_LoopValues, int]] = None
        self._ended = False
        self._watch: Optional[_LinkWatch] = None

    async def __aenter__(self) -> Notifications:
        handle = self._peripheral.handle
        # Watched before subscribing, so that no loss of the link goes unseen.
        self._watch = _LinkWatch.of(handle.address())
        self._watch.change(handle, add=self._link_lost)
        subscribe: Callable[[str, str, Any], None] = self._peripheral._handle.indicate
        if not self._indicate:
            subscribe = functools.partial(self._peripheral._handle.notify, delivery=self._delivery)
        try:
            self._subscription = await self._peripheral._subscribe(
                subscribe, self._service, self._characteristic, self._queue.put_nowait, forgotten=self._end)
        except BaseException:
            self._unwatch()
            raise
        if not handle.is_connected():
            self._end()  # the link went before its end was watched for this subscription
        return self

    async def __aexit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                        traceback: Optional[TracebackType]) -> None:
        # Shielded: the subscription ends even when the block ends by cancellation.
        try:
            await asyncio.shield(self._peripheral.unsubscribe(self._service, self._characteristic))
        except _tavrin.TavrinError:
            if self._peripheral.is_connected():
                raise
            # The link went, and the subscription with it.
            self._peripheral._forget_subscription(self._service, self._characteristic, self._subscription)
        finally:
            self._unwatch()

    def _link_lost(self) -> None:
        # On the library's thread: the end goes after the values queued before it.
        subscription = self._subscription
        if subscription is not None:
            subscription[0].end(subscription[1])

    def _end(self) -> None:
        self._queue.put_nowait(None)

    def _unwatch(self) -> None:
        if self._watch is not None:
            self._watch.change(self._peripheral.handle, remove=self._link_lost)
            self._watch = None

    def __aiter__(self) -> Notifications:
        return self

    async def __anext__(self) -> bytes:
        if not self._ended:
            value = await self._queue.get()
            if value is not None:
                return value
            self._ended = True
        raise StopAsyncIteration


class Adapter(_Handle):
    """The adapter; its queries are here too, unchanged."""

    def __init__(self, handle: _tavrin.Adapter) -> None:
        super().__init__(handle)
        self._handle: _tavrin.Adapter = handle
        # "found" / "updated" -> (the loop's values, the callback's key); guarded by _reports_lock, which a loop that
        # goes may also take, on any thread.
        self._report_keys: Dict[str, Tuple[_LoopValues, int]] = {}
        self._reports_lock = threading.RLock()

    @staticmethod
    async def bluetooth_enabled() -> bool:
        return await asyncio.wrap_future(_executor.submit(_tavrin.Adapter.bluetooth_enabled))

    @staticmethod
    async def get_adapters() -> List[Adapter]:
        adapters = await asyncio.wrap_future(_executor.submit(_tavrin.Adapter.get_adapters))
        return [Adapter(a) for a in adapters]

    @property
    def handle(self) -> _tavrin.Adapter:
        """The blocking tavrin.Adapter underneath."""
        return self._handle

    # The queries and plain calls, answered at once by the blocking handle.
    def is_enabled(self) -> bool:
        return self._handle.is_enabled()

    def scan_is_active(self) -> bool:
        return self._handle.scan_is_active()

    def remove_pairing_agent(self) -> None:
        self._handle.remove_pairing_agent()

    async def scan_start(self, options: Optional[_tavrin.ScanOptions] = None) -> None:
        """Starts a scan, with ``options`` (a tavrin.ScanOptions) if given."""
        args: Tuple[_tavrin.ScanOptions, ...] = () if options is None else (options,)
        await self._call(self._handle.scan_start, *args, undo=self._handle.scan_stop)

    async def scan_stop(self) -> None:
        await self._call(self._handle.scan_stop)

    async def scan_for(self, timeout_ms: int, options: Optional[_tavrin.ScanOptions] = None) -> None:
        """Scans for ``timeout_ms``; cancelled, the scan stops at once."""
        await self.scan_start(options)
        try:
            await asyncio.sleep(timeout_ms / 1000)
        finally:
            await asyncio.shield(self.scan_stop())

    def scan_get_results(self) -> List[Peripheral]:
        return [Peripheral(p) for p in self._handle.scan_get_results()]

    async def get_paired_peripherals(self) -> List[Peripheral]:
        """The peripherals the system holds bonds with (tavrin.aio.Peripheral), connectable without a scan."""
        return [Peripheral(p) for p in await self._call(self._handle.get_paired_peripherals)]

    def set_pairing_agent(self, agent: _tavrin.PairingAgent) -> None:
        """Installs ``agent`` (a tavrin.PairingAgent). Its callables that are coroutine functions run in the
        running loop, the library's question waiting for their answer; the others run on the library's thread
        for that question, as with tavrin.Adapter."""
        loop = asyncio.get_running_loop()
        self._handle.set_pairing_agent(_tavrin.PairingAgent(
            capability=agent.capability,
            request_passkey=_awaited(loop, agent.request_passkey),
            display_passkey=_awaited(loop, agent.display_passkey),
            confirm=_awaited(loop, agent.confirm),
            authorize=_awaited(loop, agent.authorize),
            cancel=_awaited(loop, agent.cancel)))

    def set_callback_on_scan_found(self, callback: Optional[Callable[[Peripheral], object]]) -> None:
        """``callback(peripheral)`` (a tavrin.aio.Peripheral) runs in the running loop; None removes it."""
        self._set_reports("found", self._handle.set_callback_on_scan_found, callback)

    def set_callback_on_scan_updated(self, callback: Optional[Callable[[Peripheral], object]]) -> None:
        self._set_reports("updated", self._handle.set_callback_on_scan_updated, callback)

    def set_callback_on_scan_start(self, callback: Optional[Callable[[], object]]) -> None:
        _checked(callback, "set_callback_on_scan_start's callback")
        self._handle.set_callback_on_scan_start(
            None if callback is None else _into_loop(asyncio.get_running_loop(), callback))

    def set_callback_on_scan_stop(self, callback: Optional[Callable[[], object]]) -> None:
        _checked(callback, "set_callback_on_scan_stop's callback")
        self._handle.set_callback_on_scan_stop(
            None if callback is None else _into_loop(asyncio.get_running_loop(), callback))

    def _set_reports(self, kind: str, setter: Callable[[Any], None],
                     callback: Optional[Callable[[Peripheral], object]]) -> None:
        _checked(callback, "set_callback_on_scan_%s's callback" % kind)
        # Reports are queued by the library's thread without the GIL, as values are, and taken in the loop.
        values = None if callback is None else _values_of(asyncio.get_running_loop())
        with self._reports_lock:
            if values is None:
                setter(None)
            else:
                assert callback is not None
                report = callback
                key, sink = values.add(lambda p: report(Peripheral(p)), latest=kind == "updated")
                setter(sink)
            # Once the setter has returned, the callback replaced gets nothing more, queued reports included.
            replaced = self._report_keys.pop(kind, None)
            if replaced is not None:
                replaced[0].forget(replaced[1])
            if values is not None:
                self._report_keys[kind] = (values, key)
                kept = values
                values.hooked(key, lambda: self._loop_gone(kind, setter, kept, key))

    def _loop_gone(self, kind: str, setter: Callable[[Any], None], values: _LoopValues, key: int) -> None:
        # The callback's loop closed: the library stops handing it reports.
        with self._reports_lock:
            if self._report_keys.get(kind) == (values, key):
                del self._report_keys[kind]
                setter(None)

    def scan_reports(self, updates: bool = False, options: Optional[_tavrin.ScanOptions] = None) -> ScanReports:
        """``async with adapter.scan_reports() as reports: async for peripheral in reports``: a scan runs inside
        the block (with ``options``, a tavrin.ScanOptions, if given) and each peripheral found comes once (with
        ``updates``, every later advertisement too)."""
        return ScanReports(self, updates, options)

    def __repr__(self) -> str:
        return "<tavrin.aio.Adapter %s>" % repr(self._handle)[1:-1]


class ScanReports:
    """The peripherals a scan reports, as an async iterator; see Adapter.scan_reports."""

    def __init__(self, adapter: Adapter, updates: bool, options: Optional[_tavrin.ScanOptions]) -> None:
        self._adapter = adapter
        self._updates = updates
        self._options = options
        self._queue: asyncio.Queue[Peripheral] = asyncio.Queue()

    async def __aenter__(self) -> ScanReports:
        self._adapter.set_callback_on_scan_found(self._queue.put_nowait)
        if self._updates:
            self._adapter.set_callback_on_scan_updated(self._queue.put_nowait)
        try:
            await self._adapter.scan_start(self._options)
        except BaseException:
            self._forget()
            raise
        return self

    async def __aexit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                        traceback: Optional[TracebackType]) -> None:
        try:
            await asyncio.shield(self._adapter.scan_stop())
        finally:
            self._forget()

    def _forget(self) -> None:
        self._adapter.set_callback_on_scan_found(None)
        if self._updates:
            self._adapter.set_callback_on_scan_updated(None)

    def __aiter__(self) -> ScanReports:
        return self

    async def __anext__(self) -> Peripheral:
        return await self._queue.get()
