"""The Python module on the simulated device, against the vx3071 command built beside it."""

import os
import subprocess
import sys
import threading
import time

import pytest

import vx3071

CLI = os.environ.get("VX3071_CLI", "vx3071")
FRAME = "010110000" "000000000" "010011010"  # address, instruction byte 0, setting 0x4D


def cli(*args):
    return subprocess.run([CLI, *args], capture_output=True, text=True)


def test_every_method_on_the_simulated_device():
    with vx3071.open(port="sim") as dev:
        dev.write(77)
        assert dev.read() == 77
        dev.write(78, verify=True)
        for preset, code in ((dev.zero, 0), (dev.mid, 128), (dev.full, 255)):
            preset()
            assert dev.read() == code
        dev.frame(FRAME)
        assert dev.read() == 0x4D
        assert list(dev.sweep(3, 0)) == [3, 2, 1, 0]
        assert list(dev.sweep(0, 255, step=100)) == [0, 100, 200]
        assert dev.read() == 200
        steps = dev.check()
        assert [(s.name, s.result) for s in steps] == [
            ("port", "ok"), ("lines", "ok"), ("presence", "ok"), ("read-back", "ok"),
            ("timing", "ok")]
        assert dev.read() == 200, "a check leaves the device as it found it"
        assert [s.result for s in dev.check(thorough=True)].count("ok") == 5
        assert dev.scan() == [0x2C]


def test_an_absent_device_fails_a_verify_with_both_values():
    dev = vx3071.open(port="sim:absent")
    with pytest.raises(vx3071.VerifyError) as raised:
        dev.write(77, verify=True)
    assert (raised.value.wrote, raised.value.read) == (77, 255)
    assert isinstance(raised.value, vx3071.Error)
    assert [s.result for s in dev.check()][2] == "FAIL"


def test_a_bad_port_raises_the_programs_message():
    dev = vx3071.open(port="nonsense")
    with pytest.raises(vx3071.PortError) as raised:
        dev.read()
    assert "vx3071: " + str(raised.value) in cli("--port", "nonsense", "read").stderr


@pytest.mark.parametrize("call, args", [
    (lambda d: d.write(256), ["write", "256"]),
    (lambda d: d.frame("012"), ["frame", "012"]),
])
def test_bad_arguments_raise_value_error_in_the_command_lines_words(call, args):
    with pytest.raises(ValueError) as raised:
        call(vx3071.open())
    assert "vx3071: " + str(raised.value) in cli(*args).stderr


def test_the_trace_equals_the_one_vx3071_writes_for_the_same_commands(tmp_path):
    ours, theirs = tmp_path / "module.vcd", tmp_path / "cli.vcd"
    with vx3071.open(port="sim", trace=str(ours)) as dev:
        dev.write(77)
        dev.zero()
        dev.frame(FRAME)
        dev.read()
        list(dev.sweep(3, 0))
    assert cli("--port", "sim", "--trace", str(theirs), "write", "77", "zero", "frame", FRAME,
               "read", "sweep", "3", "0").returncode == 0
    assert ours.read_bytes() == theirs.read_bytes()


def test_a_trace_that_cannot_be_written_is_raised_after_the_work(tmp_path):
    dev = vx3071.open(port="sim", trace=str(tmp_path / "no" / "such" / "t.vcd"))
    with pytest.raises(vx3071.TraceError):
        dev.write(33)
    assert dev.read() == 33, "the port work went on"


def test_other_threads_run_while_the_port_works():
    # The other thread stamps the moment it first runs once the write has begun. With the GIL
    # released it runs at once, while the port waits out its phases; held, it could run only after
    # the write returned. Load can delay it, but not by most of a second.
    dev = vx3071.open(port="sim", min_phase_us=15000)  # 59 accesses: some 0.9 s
    begun = threading.Event()
    ran_at = []

    def note():
        begun.wait()
        ran_at.append(time.monotonic())

    thread = threading.Thread(target=note)
    thread.start()
    started = time.monotonic()
    begun.set()
    dev.write(5)
    returned = time.monotonic()
    thread.join()
    assert returned - started > 0.8
    assert ran_at[0] < returned - 0.4, "the GIL was held through the write"


def test_close_releases_the_port_and_use_after_it_raises():
    dev = vx3071.open()
    dev.write(9)
    dev.close()
    dev.close()  # twice is harmless
    with pytest.raises(vx3071.Error, match="closed"):
        dev.read()
    with vx3071.open() as other:
        other.read()
    with pytest.raises(vx3071.Error):
        other.read()


def test_ports_lists_objects_and_help_tells_every_name():
    assert isinstance(vx3071.ports(), list)
    assert "VX3071" in vx3071.__doc__
    for name in ("open", "ports"):
        assert getattr(vx3071, name).__doc__
    for name in ("write", "read", "sweep", "check", "scan", "close"):
        assert getattr(vx3071.Device, name).__doc__


def test_the_example_characterises_the_simulated_device(tmp_path):
    example = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "characterise.py")
    out = tmp_path / "steps.csv"
    run = subprocess.run([sys.executable, example, "--port", "sim", "--out", str(out)],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    rows = out.read_text().splitlines()
    assert rows[0] == "code,read_back,measured"
    assert rows[1:] == [f"{code},{code}," for code in range(256)]
