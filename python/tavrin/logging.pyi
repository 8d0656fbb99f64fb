# Type stubs of tavrin.logging; test_types.py compares them with the module. The aliases here are the stubs' own
# (underscored): the module has no such names.
from typing import Callable, Optional, Union
import datetime
import os

from ._tavrin import _logging

Level = _logging.Level
NONE: Level
FATAL: Level
ERROR: Level
WARNING: Level
INFO: Level
DEBUG: Level
VERBOSE: Level

# sink(level, module, file, line, function, message)
_Sink = Callable[[Level, str, str, int, str, str], object]

def set_level(level: Level) -> None: ...
def get_level() -> Level: ...
def has_callback() -> bool: ...
def set_callback(sink: Optional[_Sink]) -> None: ...
def log_default_stdout() -> None: ...
def log_default_file(path: Union[str, os.PathLike[str]]) -> None: ...
def log(level: Level, module: str, message: str) -> None: ...
# Seconds or a timedelta; None (or float("inf")) waits as long as it takes.
def flush(timeout: Optional[Union[float, int, datetime.timedelta]] = ...) -> bool: ...
def _shutdown() -> None: ...
