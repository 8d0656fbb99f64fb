"""The package's pytest plugin: the fixtures of tavrin.testing (``tavrin_sim_world``, ``tavrin_bluez`` and the world
they serve, ``tavrin_world``) for every test, without a conftest.py.

An installed package registers it with pytest (its entry point, in the group pytest11), so the fixtures are simply
there; from a build folder (``PYTHONPATH=build/python``), or where plugins are not loaded automatically, name it:
``pytest -p tavrin.pytest_plugin``.
"""
# pytest takes the fixtures it finds in a plugin's namespace: these are tavrin.testing's own.
from .testing import tavrin_bluez, tavrin_sim_world, tavrin_world  # noqa: F401

__all__ = ["tavrin_bluez", "tavrin_sim_world", "tavrin_world"]
