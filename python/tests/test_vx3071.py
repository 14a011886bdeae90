"""The Python module on the simulated device, against the vx3071 command built beside it."""

import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
from decimal import Decimal

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


def test_255_read_back_from_an_empty_bus_is_no_proof():
    with vx3071.open(port="sim:absent") as dev:
        with pytest.raises(vx3071.VerifyError, match="no acknowledge at 0x2C") as raised:
            dev.write(255, verify=True)
        assert (raised.value.wrote, raised.value.read) == (255, 255)
    with vx3071.open(port="sim") as dev:
        dev.write(255, verify=True)  # the device is there: 255 is its setting
    assert cli("--port", "sim:absent", "write", "255", "--verify").returncode == 4


@pytest.mark.parametrize("kwargs, words", [
    ({"port": "nonsense"}, 'unknown port "nonsense"'),
    ({"port": ""}, "the port is empty"),
    ({"port": "gpio:gpiochip0"}, "is not CHIP:SDA,SCL[,SENSE]"),
    ({"min_phase_us": -1}, "min_phase_us must be a whole number from 0 to 1000000"),
    ({"min_phase_us": 10**7}, "min_phase_us must be a whole number from 0 to 1000000"),
])
def test_wrong_settings_raise_value_error_before_any_port_work(kwargs, words):
    with pytest.raises(ValueError, match=re.escape(words)):
        vx3071.open(**kwargs)


def test_open_opens_the_port_at_once_and_a_port_that_fails_raises_port_error():
    with pytest.raises(vx3071.PortError, match="/dev/i2c-99 does not exist"):
        vx3071.open(port="i2c:99")
    assert "/dev/i2c-99 does not exist" in cli("--port", "i2c:99", "read").stderr


def test_the_command_line_refuses_the_same_settings_with_status_2():
    assert cli("--port=", "read").returncode == 2
    assert cli("--port", "nonsense", "read").returncode == 2
    env = dict(os.environ, VX3071_MIN_PHASE_US="-1")
    assert subprocess.run([CLI, "read"], env=env, capture_output=True).returncode == 2


@pytest.mark.parametrize("value, error", [
    (Decimal("7.9"), TypeError), (7.0, TypeError), ("7", TypeError),
    (2**62, ValueError), (2**63, ValueError), (-(2**70), ValueError), (256, ValueError),
])
def test_codes_are_whole_numbers_through_the_index_protocol(value, error):
    with vx3071.open() as dev:
        with pytest.raises(error):
            dev.write(value)
        assert dev.read() == 128, "nothing was written"


def test_integers_of_any_kind_are_taken():
    class Register:
        def __index__(self):
            return 42
    with vx3071.open() as dev:
        dev.write(Register())
        assert dev.read() == 42
        dev.write(True)
        assert dev.read() == 1


def test_a_trace_path_may_be_any_path_like(tmp_path):
    trace = tmp_path / "bus.log"
    with vx3071.open(trace=trace) as dev:
        dev.write(5)
    assert trace.read_text().startswith("W 378 F3")


def test_the_device_says_what_it_is():
    dev = vx3071.open(port="sim:absent")
    assert repr(dev) == "<vx3071.Device port='sim:absent'>"
    assert (dev.port, dev.closed) == ("sim:absent", False)
    dev.close()
    assert dev.closed and repr(dev) == "<vx3071.Device port='sim:absent' closed>"


def test_two_devices_on_one_trace_file_the_second_is_refused(tmp_path):
    trace = tmp_path / "bus.log"
    with vx3071.open(trace=trace) as first, vx3071.open(trace=trace) as second:
        first.write(1)
        with pytest.raises(vx3071.TraceError, match="being written by another"):
            second.write(2)
        second.write(3)  # the port works on
        first.write(4)
    lines = trace.read_text().splitlines()
    assert len(lines) == 2 * 59 and all(line.startswith("W 378 ") for line in lines)


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


def test_threads_share_a_device_one_whole_call_at_a_time():
    # One thread writes, one reads, one sweeps: each read sees a whole setting, never a torn one.
    dev = vx3071.open()
    written = {17, 200} | set(range(0, 256, 51))
    errors = []

    def writer():
        for _ in range(300):
            dev.write(17)
            dev.write(200)

    def reader():
        for _ in range(300):
            value = dev.read()
            if value not in written | {128}:
                errors.append(value)

    def sweeper():
        for _ in range(20):
            list(dev.sweep(0, 255, step=51))

    threads = [threading.Thread(target=t) for t in (writer, reader, sweeper)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    dev.close()


def test_close_from_another_thread_waits_for_the_frame_and_stops_the_call():
    dev = vx3071.open(min_phase_us=2000)
    outcome = []

    def sweep():
        try:
            for _ in dev.sweep(0, 255, dwell_ms=60000):
                pass
        except vx3071.Error as error:
            outcome.append(str(error))

    thread = threading.Thread(target=sweep)
    thread.start()
    time.sleep(0.5)  # into the first code's dwell
    started = time.monotonic()
    dev.close()
    thread.join()
    assert time.monotonic() - started < 5, "the minute's dwell woke for the close"
    assert outcome and "closed" in outcome[0]


def test_ctrl_c_stops_a_long_dwell_at_once_between_frames(tmp_path):
    trace = tmp_path / "bus.log"
    script = (
        "import vx3071, time\n"
        f"dev = vx3071.open(trace={str(trace)!r})\n"
        "print('ready', flush=True)\n"
        "try:\n"
        "    for code in dev.sweep(0, 3, dwell_ms=60000): pass\n"
        "except KeyboardInterrupt:\n"
        "    print('interrupted', time.monotonic(), flush=True)\n"
        "    dev.close()\n")
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True,
                             env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert child.stdout.readline() == "ready\n"
    time.sleep(0.3)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=30)
    words = out.split()
    assert words[0] == "interrupted"
    assert float(words[1]) - sent < 5, "the minute's dwell woke for the signal"
    lines = trace.read_text().splitlines()
    assert len(lines) == 59, "the one frame written whole, nothing cut"


def test_ports_lists_objects_and_help_tells_every_name():
    assert isinstance(vx3071.ports(), list)
    assert "VX3071" in vx3071.__doc__
    for name in ("open", "ports"):
        assert getattr(vx3071, name).__doc__
    for name in ("write", "read", "sweep", "check", "scan", "close"):
        assert getattr(vx3071.Device, name).__doc__
    for words in ("sim:absent", "i2c:ADAPTER", "gpio:CHIP:SDA,SCL[,SENSE]", "ValueError",
                  "PortError", "TraceError", "at once"):
        assert words in vx3071.open.__doc__


def test_the_module_offers_every_command_and_option_vx3071_help_lists():
    text = cli("--help").stdout
    listed = text[text.index("commands:"):text.index("options:")].splitlines()[1:]
    commands = [word for line in listed if line.startswith("  ") and line[2] != " "
                for word in line.split("   ")[0].split()
                if word == "-" or (word.isalpha() and word.islower())]
    assert {"write", "zero", "mid", "full", "frame", "read", "sweep", "check", "scan",
            "ports", "-"} <= set(commands)
    for command in commands:
        if command == "-":
            continue  # Python is its own script
        if command in ("ports", "meters"):
            assert getattr(vx3071, command).__doc__, command
        elif command == "meter":
            assert vx3071.Meter.__doc__ and vx3071.Meter.read.__doc__
        else:
            assert getattr(vx3071.Device, command).__doc__, command
    for option, method, parameter in (("--verify", "write", "verify"),
                                      ("--thorough", "check", "thorough"),
                                      ("--dwell", "sweep", "dwell_ms")):
        assert option in text
        assert parameter + ":" in getattr(vx3071.Device, method).__doc__, option
    for option, parameter in (("--port", "port"), ("--trace", "trace")):
        assert option in text and parameter + ":" in vx3071.open.__doc__


def test_the_example_characterises_the_simulated_device(tmp_path):
    example = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "characterise.py")
    out = tmp_path / "steps.csv"
    run = subprocess.run([sys.executable, example, "--port", "sim", "--out", str(out)],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    rows = out.read_text().splitlines()
    assert rows[0] == "code,read_back,measured"
    assert rows[1:] == [f"{code},{code}," for code in range(256)]
    for port, status in (("bogus", 2), ("i2c:99", 3)):
        failed = subprocess.run([sys.executable, example, "--port", port, "--out", str(out) + port],
                                capture_output=True, text=True)
        assert failed.returncode == status, failed.stderr
        assert failed.stderr.startswith("characterise: ") and "Traceback" not in failed.stderr
        assert not os.path.exists(str(out) + port), "no CSV without a sweep"
    usage = subprocess.run([sys.executable, example, "--help"], capture_output=True, text=True)
    assert usage.returncode == 0
    assert "measured column." in usage.stdout


def run_python(script, timeout, *args):
    """Runs `script` in a Python of its own; a run past `timeout` is killed and fails the test."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    try:
        return subprocess.run([sys.executable, "-c", script, *map(str, args)], env=env,
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"locked up: no end within {timeout} s")


STRESS = r"""
import random, sys, threading, time, vx3071
threads, seconds, seed = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
held = {"dev": vx3071.open(port="sim")}
end = time.monotonic() + seconds

def calls(r):
    dev = held["dev"]
    k = r.randrange(7)
    if k == 0: dev.write(r.randrange(256), verify=r.random() < 0.5)
    elif k == 1: dev.read()
    elif k == 2:
        for _ in dev.sweep(0, 255, 85, dwell_ms=r.randrange(25)): pass
    elif k == 3: dev.check(thorough=r.random() < 0.3)
    elif k == 4: dev.frame("010110000000000000010011010")
    elif k == 5 and r.random() < 0.05:
        dev.close()
        held["dev"] = vx3071.open(port="sim")
    else: dev.scan() if r.random() < 0.1 else dev.zero()

def work(n):
    r = random.Random(seed * 100 + n)
    while time.monotonic() < end:
        try:
            calls(r)
        except vx3071.Error as error:
            if "closed" not in str(error) and not isinstance(error, vx3071.VerifyError):
                raise

others = [threading.Thread(target=work, args=(n,)) for n in range(1, threads)]
for t in others: t.start()
work(0)  # the main thread too: its calls are the ones that look for signals
for t in others: t.join()
held["dev"].close()
print("done")
"""


@pytest.mark.parametrize("threads", [2, 4, 16])
def test_threads_making_random_calls_on_one_device_never_lock_up(threads):
    # Writes, reads, sweeps that dwell, checks, scans and closes from every thread at once, with
    # the main thread among them, several times over: each run must end, and within its limit.
    for seed in range(3):
        done = run_python(STRESS, 30, threads, 3, seed)
        assert done.returncode == 0 and done.stdout == "done\n", (seed, done.stderr)


@pytest.mark.parametrize("work", [
    "for _ in dev.sweep(0, 255, dwell_ms=1000): pass",
    "while True: dev.write(5)",
    "while True: dev.check(thorough=True)",
    "while True: dev.write(5, verify=True)",
])
def test_a_daemon_thread_inside_a_call_never_aborts_python_at_exit(work):
    script = ("import threading, time, vx3071\n"
              "dev = vx3071.open(port='sim')\n"
              "def work():\n"
              f"    {work}\n"
              "threading.Thread(target=work, daemon=True).start()\n"
              "time.sleep(0.2)\n")
    for _ in range(3):
        ended = run_python(script, 30)
        assert ended.returncode == 0, ended.stderr
        assert "terminate" not in ended.stderr


def vcd_times(path):
    return [int(line[1:]) for line in path.read_text().splitlines() if line.startswith("#")]


def test_a_forked_process_is_refused_and_the_trace_keeps_one_writer(tmp_path):
    trace, alone = tmp_path / "bus.vcd", tmp_path / "alone.vcd"
    script = ("import os, sys, vx3071\n"
              "with vx3071.open(port='sim', trace=sys.argv[1]) as dev:\n"
              "    dev.write(1); dev.write(2)\n"
              "    child = os.fork()\n"
              "    if child == 0:\n"
              "        try:\n"
              "            dev.read()\n"
              "        except vx3071.Error as error:\n"
              "            print(error, flush=True)\n"
              "        sys.exit(0)  # the with block closes it in the child too, as Python ends\n"
              "    os.waitpid(child, 0)\n"
              "    dev.write(3)\n")
    ended = run_python(script, 30, trace)
    assert ended.returncode == 0, ended.stderr
    assert re.fullmatch(r"this device was opened by process (\d+); open another here\n",
                        ended.stdout), ended.stdout
    times = vcd_times(trace)
    assert times == sorted(times), "one writer: the timestamps never go back"
    assert cli("--trace", str(alone), "write", "1", "write", "2", "write", "3").returncode == 0
    assert trace.read_bytes() == alone.read_bytes(), "the parent's records alone"


def test_a_fork_while_another_thread_is_in_a_call_is_refused_at_once():
    script = ("import os, threading, time, vx3071\n"
              "dev = vx3071.open(port='sim')\n"
              "threading.Thread(target=lambda: list(dev.sweep(0, 0, dwell_ms=3000))).start()\n"
              "time.sleep(0.2)\n"
              "child = os.fork()\n"
              "if child == 0:\n"
              "    started = time.monotonic()\n"
              "    try:\n"
              "        dev.write(9)\n"
              "    except vx3071.Error as error:\n"
              "        print(round(time.monotonic() - started), error, flush=True)\n"
              "    os._exit(0)\n"
              "os.waitpid(child, 0)\n")
    ended = run_python(script, 30)
    assert ended.returncode == 0, ended.stderr
    assert ended.stdout.startswith("0 this device was opened by process"), ended.stdout


def test_a_bytes_trace_path_names_its_file_and_a_nul_in_it_is_refused(tmp_path):
    with vx3071.open(trace=os.fsencode(tmp_path / "bus.log")) as dev:
        dev.write(5)
    assert os.listdir(tmp_path) == ["bus.log"]
    with pytest.raises(ValueError, match="NUL"):
        vx3071.open(trace=str(tmp_path / "results.csv") + "\0.vcd")
    with pytest.raises(ValueError, match="NUL"):
        vx3071.open(port="sim\0")
    assert os.listdir(tmp_path) == ["bus.log"], "results.csv was not touched"


@pytest.mark.parametrize("port", [5, b"sim", ["sim"]])
def test_a_port_of_the_wrong_type_is_a_type_error(port):
    with pytest.raises(TypeError, match="port must be a str"):
        vx3071.open(port=port)


def test_255_read_from_a_bus_where_nothing_answers_is_no_device():
    with vx3071.open(port="sim:absent") as dev:
        with pytest.raises(vx3071.NoDeviceError, match="no acknowledge at 0x2C") as raised:
            dev.read()
        assert (raised.value.wrote, raised.value.read) == (None, 255)
        assert isinstance(raised.value, vx3071.VerifyError), "verify handlers still catch it"
        with pytest.raises(vx3071.NoDeviceError):
            dev.write(255, verify=True)
    with vx3071.open(port="sim") as dev:
        dev.full()
        assert dev.read() == 255, "the device is there: 255 is its setting"
    assert cli("--port", "sim:absent", "read").returncode == 4


SLOW_CHECK = r"""
import sys, threading, time, vx3071

def say(line):  # one write a line: two threads' lines never interleave
    sys.stdout.write(line + "\n")
    sys.stdout.flush()

dev = vx3071.open(port="sim", min_phase_us=20000, trace=sys.argv[2])  # a frame: 1.2 s
dev.write(77)
if sys.argv[1] == "close":
    def closer():
        time.sleep(0.5)
        started = time.monotonic()
        dev.close()
        say(f"closed after {time.monotonic() - started}")
    threading.Thread(target=closer).start()
say("ready")
started = time.monotonic()
try:
    dev.check(thorough=True)
except (KeyboardInterrupt, vx3071.Error) as error:
    say(f"{type(error).__name__} {time.monotonic() - started}")
"""


@pytest.mark.parametrize("how", ["ctrl-c", "close"])
def test_a_check_stops_within_a_frame_of_ctrl_c_or_a_close(tmp_path, how):
    trace = tmp_path / "bus.log"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    child = subprocess.Popen([sys.executable, "-c", SLOW_CHECK, how, str(trace)], env=env,
                             stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "ready\n"
    if how == "ctrl-c":
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=60)
    ended = [line.split() for line in out.splitlines() if line.split()[0] != "closed"]
    assert ended and ended[0][0] == ("KeyboardInterrupt" if how == "ctrl-c" else "Error"), out
    # The whole check is some 12 frames, 15 s; stopped during its first, it ends with the next.
    assert float(ended[0][1]) < 5, out
    lines = trace.read_text().splitlines()
    assert lines[-1] == "W 378 F3", "the bus released: the frame in progress was finished"


def test_a_python_handler_that_returns_lets_the_call_go_on_and_one_that_raises_stops_it(tmp_path):
    trace = tmp_path / "bus.log"
    script = ("import os, signal, sys, threading, vx3071\n"
              "seen = []\n"
              "signal.signal(signal.SIGHUP, lambda *_: seen.append('hup'))\n"
              "def stop(*_): raise SystemExit('stopped')\n"
              "signal.signal(signal.SIGTERM, stop)\n"
              "dev = vx3071.open(port='sim', trace=sys.argv[1])\n"
              "me = os.getpid()\n"
              "threading.Timer(0.2, os.kill, (me, signal.SIGHUP)).start()\n"
              "codes = list(dev.sweep(0, 3, dwell_ms=150))\n"
              "print(codes, seen, flush=True)\n"
              "threading.Timer(0.2, os.kill, (me, signal.SIGTERM)).start()\n"
              "for code in dev.sweep(0, 255, dwell_ms=150): print(code, flush=True)\n")
    ended = run_python(script, 30, trace)
    assert ended.returncode == 1 and "stopped" in ended.stderr, ended.stderr
    lines = ended.stdout.splitlines()
    assert lines[0] == "[0, 1, 2, 3] ['hup']", "SIGHUP's handler ran, the sweep went on"
    assert len(lines) < 5, "SIGTERM's handler raised: the sweep stopped"
    assert len(trace.read_text().splitlines()) % 59 == 0, "whole frames"


WIDENED = r"""
import threading, time, vx3071
dev = vx3071.open(port="sim", min_phase_us=2000)  # a frame: 0.12 s
done = False

def spin():  # holds the GIL, but for Python's switch interval
    while not done:
        pass

spinner = threading.Thread(target=spin)
spinner.start()
writer = threading.Thread(target=dev.write, args=(5,))
writer.start()
time.sleep(0.03)  # the writer's frame is under way: this sweep waits for the device
codes = list(dev.sweep(0, 0, dwell_ms=300))
writer.join()
done = True
spinner.join()
print(codes)
"""


def test_a_call_ending_while_another_waits_for_the_device_and_a_third_holds_the_gil():
    # The writer's call ends and the sweep takes the device at once; the spinner holds the GIL, so
    # the writer gets it back only afterwards, while the sweep dwells and looks for signals. A
    # writer that then waited for the device with the GIL (for the trace's error), or a sweep that
    # waited for the GIL with the device, would wait for each other for ever.
    for _ in range(3):
        ended = run_python(WIDENED, 20)
        assert (ended.returncode, ended.stdout) == (0, "[0]\n"), ended.stderr


def test_a_meter_reads_the_simulated_part_at_its_setting():
    with vx3071.open(port="sim") as dev, vx3071.Meter("sim") as meter:
        dev.write(77)
        at_77 = meter.read()
        dev.write(200)
        at_200 = meter.read()
        assert meter.unit == "Ohm"
        assert meter.identity[1] == "simulated meter"
    # R_WB = D/256 * 10 kOhm + 75 Ohm, within the default mismatch of 0.3 LSB.
    lsb = 10000 / 256
    assert abs(at_77 - (77 * lsb + 75)) <= 0.3 * lsb
    assert abs(at_200 - (200 * lsb + 75)) <= 0.3 * lsb
    assert meter.closed
    with pytest.raises(vx3071.Error):
        meter.read()
    for kwargs, words in (({"resource": "GPIB0::1::INSTR"}, "interface type"),
                          ({"resource": "sim", "function": "current"}, "resistance"),
                          ({"resource": "sim", "range": -1}, "range"),
                          ({"resource": "sim", "timeout": 0}, "timeout")):
        with pytest.raises(ValueError, match=words):
            vx3071.Meter(**kwargs)
    with pytest.raises(vx3071.MeterError, match="overload"):
        vx3071.Meter("sim", range=1000).read()


def meter_on_localhost(readings):
    """A meter on 127.0.0.1 answering as a 34465A over its raw socket: who it is, its error queue
    empty, and the first `readings` READ? (the n-th reading n * 39 Ohm), then none, as a meter does
    when its cable is pulled. Gives its resource string and its listening socket."""
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(1)

    def meter():
        conn, _ = server.accept()
        reads = 0
        with conn:
            pending = b""
            while data := conn.recv(256):
                pending += data
                while b"\n" in pending:
                    line, pending = pending.split(b"\n", 1)
                    if line == b"*IDN?":
                        conn.sendall(b"Keysight Technologies,34465A,MY1,A.1\n")
                    elif line == b"SYST:ERR?":
                        conn.sendall(b'+0,"No error"\n')
                    elif line == b"READ?":
                        reads += 1
                        if reads <= readings:
                            conn.sendall(b"+%.8E\n" % (reads * 39.0))

    threading.Thread(target=meter, daemon=True).start()
    return f"TCPIP::127.0.0.1::{server.getsockname()[1]}::SOCKET", server


def test_a_meter_that_does_not_answer_is_a_timeout_error():
    resource, server = meter_on_localhost(readings=0)
    with vx3071.Meter(resource, timeout=0.3) as silent:
        assert silent.identity[:2] == ("Keysight Technologies", "34465A")
        started = time.monotonic()
        with pytest.raises(TimeoutError) as raised:
            silent.read()
        assert isinstance(raised.value, vx3071.MeterError)
        assert time.monotonic() - started < 2
    server.close()


def test_one_meter_read_from_several_threads_gives_whole_readings():
    lsb = 10000 / 256
    settings = [code * lsb + 75 for code in range(256)]
    errors, readings = [], []
    with vx3071.open(port="sim") as dev, vx3071.Meter("sim") as meter:
        def reader():
            try:
                for _ in range(50):
                    readings.append(meter.read())
            except Exception as error:  # noqa: BLE001 - every failure is the test's
                errors.append(error)
        threads = [threading.Thread(target=reader) for _ in range(4)]
        for t in threads:
            t.start()
        for code in range(0, 256, 5):
            dev.write(code)
        for t in threads:
            t.join()
    assert errors == []
    assert len(readings) == 200
    # Each reading is the part at some setting, within its mismatch: never a torn answer.
    assert all(min(abs(r - s) for s in settings) <= 0.3 * lsb for r in readings)


STEPPED = "step=128:-60,mismatch=0.3,seed=3"


def independent_figures(codes, readings):
    """End-point and best-fit INL and DNL as datasheets define them, worked with numpy alone."""
    import numpy as np
    d = np.asarray(codes, dtype=float)
    r = np.asarray(readings, dtype=float)
    lsb = (r[-1] - r[0]) / (d[-1] - d[0])
    inl = (r - r[0]) / lsb - (d - d[0])
    dnl = np.diff(r) / (np.diff(d) * lsb) - 1
    slope, offset = np.polyfit(d, r, 1)
    best = (r - (offset + slope * d)) / slope
    return lsb, inl, dnl, best


def test_characterise_gives_the_figures_numpy_gives_and_finds_the_step(monkeypatch):
    np = pytest.importorskip("numpy")
    monkeypatch.setenv("VX3071_SIM_ANALOG", STEPPED)
    told = []
    with vx3071.open(port="sim") as dev, vx3071.Meter("sim") as meter:
        dev.write(77)
        result = dev.characterise(meter, settle_ms=0, progress=lambda *a: told.append(a))
        assert dev.read() == 77, "the setting found is put back"
    assert isinstance(result.inl, np.ndarray) and isinstance(result.readings, np.ndarray)
    assert list(result.codes) == list(range(256))
    lsb, inl, dnl, best = independent_figures(result.codes, result.readings)
    f = result.figures
    assert f["lsb"] == pytest.approx(lsb, abs=1e-9)
    assert np.max(np.abs(result.inl - inl)) < 1e-9
    assert np.max(np.abs(result.dnl[1:] - dnl)) < 1e-9 and np.isnan(result.dnl[0])
    assert np.max(np.abs(result.inl_best_fit - best)) < 1e-9
    assert f["dnl_min"] == (pytest.approx(dnl.min(), abs=1e-9), 128)
    assert f["inl_max"][1] == int(np.argmax(inl))
    assert f["not_monotonic"] == [128] and result.monotonic is False
    assert f["r_ab"] == pytest.approx(256 * lsb) and f["wiper_resistance"] == pytest.approx(75)
    assert (result.partial, result.restored, result.setting_before) == (False, True, 77)
    assert len(told) == 256 and told[0][0] == 0 and told[-1][2:] == (256, 256)
    assert result.csv().startswith("code,written,read_back,mean,unit,spread,readings,time_s\r\n")


def test_the_command_lines_csv_and_json_agree_with_numpy(tmp_path):
    np = pytest.importorskip("numpy")
    csv_file, plot, report = tmp_path / "sweep.csv", tmp_path / "plot.svg", tmp_path / "r.pdf"
    run = subprocess.run(
        [CLI, "--json", "characterise", "--meter", "sim", "--settle", "0", "--average", "2",
         "--csv", str(csv_file), "--plot", str(plot), "--report", str(report)],
        capture_output=True, text=True, env={**os.environ, "VX3071_SIM_ANALOG": STEPPED})
    assert run.returncode == 0, run.stderr
    import csv
    import json
    summary = json.loads(run.stdout)
    rows = list(csv.DictReader(csv_file.open(newline="")))
    assert len(rows) == 256 and rows[128]["unit"] == "Ohm"
    assert all(len(row["readings"].split(";")) == 2 for row in rows)
    codes = [int(row["code"]) for row in rows]
    lsb, inl, dnl, _ = independent_figures(codes, [float(row["mean"]) for row in rows])
    assert summary["lsb"] == pytest.approx(lsb, rel=1e-9)
    assert summary["inl"]["max"] == {"value": pytest.approx(inl.max(), abs=1e-9),
                                     "code": int(np.argmax(inl))}
    assert summary["dnl"]["min"] == {"value": pytest.approx(dnl.min(), abs=1e-9), "code": 128}
    assert summary["monotonic"] is False and summary["not_monotonic"] == [128]
    assert summary["partial"] is False and summary["settings"]["average"] == 2
    assert "<svg" in plot.read_text() and report.read_bytes().startswith(b"%PDF-")


def test_without_numpy_the_figures_are_lists():
    script = ("import sys; sys.modules['numpy'] = None\n"
              "import vx3071\n"
              "with vx3071.open(port='sim') as dev, vx3071.Meter('sim') as meter:\n"
              "    r = dev.characterise(meter, 0, 20, settle_ms=0)\n"
              "print(type(r.inl).__name__, type(r.readings).__name__, len(r.dnl))\n")
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["list", "list", "21"]


def test_ctrl_c_raises_sweep_interrupted_with_the_codes_measured_whole():
    with vx3071.open(port="sim") as dev, vx3071.Meter("sim") as meter:
        dev.write(77)

        def progress(code, reading, done, total):
            if code == 99:
                os.kill(os.getpid(), signal.SIGINT)

        with pytest.raises(vx3071.SweepInterrupted) as raised:
            dev.characterise(meter, settle_ms=0, progress=progress)
        assert isinstance(raised.value, KeyboardInterrupt)
        partial = raised.value.partial
        assert list(partial.codes) == list(range(100))
        assert partial.partial and partial.restored
        assert dev.read() == 77

        # The same from a signal that comes while the port works (a settle), not in the callback.
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        with pytest.raises(vx3071.SweepInterrupted) as raised:
            dev.characterise(meter, settle_ms=20)
        codes = list(raised.value.partial.codes)
        assert 0 < len(codes) < 256 and codes == list(range(len(codes)))
        assert dev.read() == 77


def test_ctrl_c_in_the_progress_callback_is_said_as_python_says_it():
    with vx3071.open(port="sim") as dev, vx3071.Meter("sim") as meter:
        def progress(code, reading, done, total):
            if code == 5:
                raise KeyboardInterrupt

        with pytest.raises(vx3071.SweepInterrupted) as raised:
            dev.characterise(meter, settle_ms=0, progress=progress)
        words = str(raised.value)
        assert words.startswith("at code 5: KeyboardInterrupt in the progress callback; 6 of 256")
        assert "EMPTY MESSAGE" not in words and "Traceback" not in words and "\n" not in words


def test_a_meter_closed_from_another_thread_ends_the_sweep_at_once():
    with vx3071.open(port="sim") as dev, vx3071.Meter("sim") as meter:
        dev.write(33)
        threading.Timer(0.3, meter.close).start()
        started = time.monotonic()
        with pytest.raises(vx3071.Error, match="closed") as raised:
            dev.characterise(meter, settle_ms=20)
        assert time.monotonic() - started < 2
        assert 0 < len(raised.value.partial.codes) < 256
        assert dev.read() == 33


def test_a_meter_that_falls_silent_raises_meter_error_with_the_partial_result():
    resource, server = meter_on_localhost(readings=50)
    with vx3071.open(port="sim") as dev, vx3071.Meter(resource, timeout=0.3) as silent:
        with pytest.raises(vx3071.MeterError, match=r"at code 50: .*READ\?") as raised:
            dev.characterise(silent, settle_ms=0)
        assert isinstance(raised.value, vx3071.MeterTimeout)
        assert len(raised.value.partial.codes) == 50
        assert raised.value.partial.figures["lsb"] == pytest.approx(39.0)
        assert dev.read() == 128
    server.close()


def test_divider_mode_and_arguments_that_name_nothing():
    with vx3071.open(port="sim") as dev, vx3071.Meter("sim", function="voltage") as volts:
        result = dev.characterise(volts, settle_ms=0, v_high=5, v_low=0)
        assert result.unit == "V"
        # The simulated divider runs from 5 V to ground with no error at its ends.
        assert result.figures["zero_scale_error"] == pytest.approx(0, abs=1e-6)
        assert result.figures["full_scale_error"] == pytest.approx(0, abs=1e-6)
        assert "r_ab" not in result.figures
        for kwargs, words in (({"mode": "ladder"}, "rheostat"), ({"average": 0}, "average"),
                              ({"v_high": 5}, "together"), ({"stop": 256}, "TO"),
                              ({"v_high": float("nan"), "v_low": 0}, "v_high is a finite"),
                              ({"v_high": 5, "v_low": float("-inf")}, "v_low is a finite")):
            with pytest.raises(ValueError, match=words):
                dev.characterise(volts, **kwargs)
