#!/usr/bin/env python3
"""Steps the VX3071 through every code, reads each back, and writes a CSV with a measured column.

The measured column is left for the value an instrument reads at each step (a comment in the code
shows where a PyVISA meter's reading goes).

    PYTHONPATH=build/python examples/characterise.py [--port PORT] [--dwell MS] [--out FILE]

The port is named as VX3071_PORT names one; unset, the simulated device, so this runs anywhere.
Exit status: 0 when every code read back as written, 1 when some did not, 2 for a bad argument,
3 when the port could not be used; the CSV is written only once the sweep has run whole.
"""

import argparse
import csv
import sys

import vx3071


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", default=None, help="as VX3071_PORT (default: the environment's)")
    parser.add_argument("--dwell", type=int, default=0, help="ms to settle after each code")
    parser.add_argument("--out", default="characterise.csv", help="the CSV to write")
    options = parser.parse_args()

    # A meter, where there is one (PyVISA):
    #   import pyvisa
    #   meter = pyvisa.ResourceManager().open_resource("USB0::0x2A8D::0x0101::MY1234::INSTR")
    meter = None

    rows = []
    try:
        with vx3071.open(port=options.port) as dev:
            for code in dev.sweep(0, 255, dwell_ms=options.dwell):
                measured = ""  # meter.query_ascii_values("MEAS:VOLT:DC?")[0] where there is one
                if meter is not None:
                    measured = meter.query_ascii_values("MEAS:VOLT:DC?")[0]
                rows.append((code, dev.read(), measured))
    except ValueError as error:
        print(f"characterise: {error}", file=sys.stderr)
        return 2
    except vx3071.Error as error:
        print(f"characterise: {error}; no CSV written", file=sys.stderr)
        return 3
    with open(options.out, "w", newline="") as out:
        table = csv.writer(out)
        table.writerow(["code", "read_back", "measured"])
        table.writerows(rows)
    mismatches = sum(back != code for code, back, _ in rows)
    print(f"{options.out}: 256 codes, {mismatches} read back differently", file=sys.stderr)
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
