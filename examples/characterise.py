#!/usr/bin/env python3
"""Steps the VX3071 through every code, reads each back, and writes a CSV with a column left for
the value an instrument measures at each step.

    PYTHONPATH=build/python examples/characterise.py [--port PORT] [--dwell MS] [--out FILE]

The port is named as VX3071_PORT names one; unset, the simulated device, so this runs anywhere.
"""

import argparse
import csv
import sys

import vx3071


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", default=None, help="as VX3071_PORT (default: the environment's)")
    parser.add_argument("--dwell", type=int, default=0, help="ms to settle after each code")
    parser.add_argument("--out", default="characterise.csv", help="the CSV to write")
    options = parser.parse_args()

    # A meter, where there is one (PyVISA):
    #   import pyvisa
    #   meter = pyvisa.ResourceManager().open_resource("USB0::0x2A8D::0x0101::MY1234::INSTR")
    meter = None

    mismatches = 0
    with vx3071.open(port=options.port) as dev, open(options.out, "w", newline="") as out:
        table = csv.writer(out)
        table.writerow(["code", "read_back", "measured"])
        for code in dev.sweep(0, 255, dwell_ms=options.dwell):
            back = dev.read()
            mismatches += back != code
            measured = ""  # meter.query_ascii_values("MEAS:VOLT:DC?")[0] where there is one
            if meter is not None:
                measured = meter.query_ascii_values("MEAS:VOLT:DC?")[0]
            table.writerow([code, back, measured])
    print(f"{options.out}: 256 codes, {mismatches} read back differently", file=sys.stderr)
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
