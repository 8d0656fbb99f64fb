"""The library's logger: its level and its sink.

``set_callback(sink)`` makes ``sink(level, module, file, line, function, message)`` receive every record at
or under the level, in order, on a thread of this package, outside every lock of the library (so the sink
may call the library). ``set_callback(None)`` silences the logger; ``log_default_stdout()`` and
``log_default_file(path)`` restore the library's own sinks. ``flush()`` waits until the records logged so
far have reached the sink.
"""
import threading as _threading

from ._tavrin import _logging as _impl

Level = _impl.Level
NONE = Level.NONE
FATAL = Level.FATAL
ERROR = Level.ERROR
WARNING = Level.WARNING
INFO = Level.INFO
DEBUG = Level.DEBUG
VERBOSE = Level.VERBOSE

set_level = _impl.set_level
get_level = _impl.get_level
has_callback = _impl.has_callback
log_default_stdout = _impl.log_default_stdout
log = _impl.log

_lock = _threading.Lock()
_thread = None  # the thread that hands records to the Python sink; guarded by _lock


def set_callback(sink):
    """Sets the sink: a callable taking (level, module, file, line, function, message), or None."""
    global _thread
    if sink is not None and not callable(sink):
        raise TypeError("the sink must be callable or None, not %s" % type(sink).__name__)
    wrapped = None
    if sink is not None:
        def wrapped(level, module, file, line, function, message):
            sink(Level(level), module, file, line, function, message)
    with _lock:
        if wrapped is not None and _thread is None:
            _thread = _threading.Thread(target=_impl._pump, name="tavrin-log", daemon=True)
            _thread.start()
        _impl.set_callback(wrapped)


def log_default_file(path):
    """Appends every record to the file at ``path``."""
    _impl.log_default_file(str(path))


def flush(timeout=5.0):
    """Waits until every record logged so far has reached the Python sink; False if ``timeout`` (seconds, or a
    datetime.timedelta) passed first. ``None`` or ``float("inf")`` waits as long as it takes; NaN and ``-inf`` raise ValueError."""
    return _impl.flush(timeout)


def _shutdown():
    _impl._close()
    with _lock:
        thread = _thread
    if thread is not None:
        thread.join(2.0)
