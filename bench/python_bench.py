#!/usr/bin/env python3
"""What the Python module adds to a write: dev.write(code) from Python against the same write made
in C++ (the row vx3071-bench measures on the same simulated bus), in the same run, and a 256-code
sweep from Python, per code. What the module adds is counted in floors: a binding call that does
nothing (dev.closed), measured in the same run, so that a busy machine, which slows both, decides
nothing. Prints its rows as vx3071-bench prints its table; exits 1 on a miss.

    PYTHONPATH=build-bench/python bench/python_bench.py build-bench/bench/vx3071-bench
"""

import json
import statistics
import subprocess
import sys
import tempfile
import time

import vx3071

CPP_ROW = "bus: write transaction on the simulated bus, no device"


def cpp_write_us(bench: str) -> float:
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        subprocess.run(
            [bench, "--benchmark_filter=^" + CPP_ROW + "$", "--benchmark_out=" + out.name,
             "--benchmark_out_format=json", "--benchmark_repetitions=5",
             "--benchmark_report_aggregates_only=true"],
            capture_output=True, text=True, check=True)
        rows = json.load(open(out.name))["benchmarks"]
    for row in rows:
        if row.get("aggregate_name") == "median":
            return row["real_time"] / 1000.0  # ns to us
    raise SystemExit("python_bench: no median for " + CPP_ROW)


def median_us(work, count: int) -> float:
    runs = []
    for _ in range(5):
        start = time.perf_counter()
        work()
        runs.append((time.perf_counter() - start) / count * 1e6)
    return statistics.median(runs)


# What a call adds beyond the C++ write, in floors: releasing and taking back the GIL, the device's
# lock, the trace's completion and the stop check come to some 3 floors; twice that is the room.
TARGET_FLOORS = 6


def main() -> int:
    cpp = cpp_write_us(sys.argv[1])
    dev = vx3071.open(port="sim:absent")
    dev.write(0)
    writes = 20_000
    floor = median_us(lambda: [dev.closed for _ in range(writes)], writes)
    python = median_us(lambda: [dev.write(code & 0xFF) for code in range(writes)], writes)
    sweep = median_us(lambda: list(dev.sweep(0, 255)), 256)
    misses = 0
    print("\n| measurement | median | added, in floors | target | |\n|---|---:|---:|---|---|")
    print(f"| {CPP_ROW} (C++) | {cpp:.3f} us | | (for comparison) | |")
    print(f"| floor: a binding call that does nothing (dev.closed) | {floor:.3f} us | | "
          "(the floor) | |")
    for name, figure in (("python: dev.write(code)", python),
                         ("python: 256-code sweep, per code", sweep)):
        added = (figure - cpp) / floor
        ok = added <= TARGET_FLOORS
        misses += not ok
        print(f"| {name} | {figure:.3f} us | {added:.2f} | <= C++ write + {TARGET_FLOORS} floors | "
              f"{'ok' if ok else 'MISS'} |")
    return 1 if misses else 0


if __name__ == "__main__":
    sys.exit(main())
