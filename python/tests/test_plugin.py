# The package's pytest plugin, as a user's project meets it: no conftest.py, the fixtures from the plugin, named with
# -p in a build folder and found by pytest itself in an installation. Each run is a pytest process of its own, since
# a process chooses its radio once.
import os
import subprocess

import tavrin.testing

# A user's code and its test, as docs/python.md shows them.
USER_CODE = '''
import tavrin

PLUG_SERVICE = "fb1e4001-54ae-4a28-9f74-dfccb248601d"
COMMAND = "fb1e4002-54ae-4a28-9f74-dfccb248601d"
STATUS = "fb1e4003-54ae-4a28-9f74-dfccb248601d"


def switch(plug, on):
    """Switches the plug; returns whether it reports itself on."""
    plug.write_request(PLUG_SERVICE, COMMAND, b'\\t{"mode":3,"switch":%d}' % on)
    return plug.read(PLUG_SERVICE, STATUS)[0] == 1
'''

USER_TEST = '''
import tavrin
import lights

PLUG = "C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13"


def test_switch_turns_the_plug_on_and_off(%s):
    adapter = tavrin.Adapter.get_adapters()[0]
    adapter.scan_for(500)
    plug = next(p for p in adapter.scan_get_results() if p.address() == %s.address(PLUG))
    plug.connect()
    try:
        assert lights.switch(plug, True)
        assert not lights.switch(plug, False)
    finally:
        plug.disconnect()
'''


def user_project(pytester, fixture):
    pytester.makepyfile(lights=USER_CODE, test_lights=USER_TEST % (fixture, fixture))


def test_the_plugin_gives_the_fixtures_to_a_project_without_a_conftest(pytester, tmp_path, monkeypatch):
    user_project(pytester, "tavrin_sim_world")
    # Without the plugin the fixture is not there; named, it is, in the build folder.
    pytester.runpytest_subprocess("-p", "no:cacheprovider").assert_outcomes(errors=1)
    pytester.runpytest_subprocess("-p", "no:cacheprovider", "-p", "tavrin.pytest_plugin").assert_outcomes(passed=1)

    # Installed, pytest finds the plugin through the package's entry point, unasked; here over BlueZ.
    prefix = tmp_path / "prefix"
    subprocess.run([os.environ["TAVRIN_TEST_CMAKE"], "--install", os.environ["TAVRIN_TEST_BUILD_DIR"], "--component",
                    "python", "--prefix", str(prefix)], check=True, capture_output=True, timeout=60)
    user_project(pytester, "tavrin_bluez")
    monkeypatch.setenv("PYTHONPATH", str(prefix / os.environ["TAVRIN_TEST_PYTHON_DIR"]))
    monkeypatch.setenv("TAVRIN_BLUEZ_SIM", tavrin.testing.simulator_path())  # the component installs no simulator
    pytester.runpytest_subprocess("-p", "no:cacheprovider").assert_outcomes(passed=1)
