#!/usr/bin/env python3
"""The README's first sections, run the way a new user types them.

Clones the repository as it is committed, runs `script/run` there until the panel is up (then
closes it), and runs every ```sh line and ```python block of the README's first four sections in
that clone: each must succeed, and a line whose comment is a number must print that number last.
`script/run` and `script/test` lines are what this is and what runs it, so they are not run again.
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SECTIONS = 4  # "Two commands" and the three after it, as the README says
PANEL_TIMEOUT_S = 900  # a fresh build of the programs, on a busy machine
LINE_TIMEOUT_S = 120


def first_sections(readme):
    parts = re.split(r"^## ", readme, flags=re.M)
    return ["## " + p for p in parts[1 : 1 + SECTIONS]]


def code_blocks(text):
    """(language, body) of every fenced block."""
    return re.findall(r"^```(\w*)\n(.*?)^```", text, flags=re.M | re.S)


def user_env():
    env = {k: v for k, v in os.environ.items() if not k.startswith("VX3071_")}
    env["QT_QPA_PLATFORM"] = "offscreen"
    return env


def start_panel(clone, log):
    """script/run, until its process has become the panel and stayed up a second."""
    proc = subprocess.Popen(["script/run"], cwd=clone, env=user_env(), stdout=log,
                            stderr=subprocess.STDOUT, start_new_session=True)
    panel = os.path.join(clone, "build", "vx3071-panel")
    deadline = time.monotonic() + PANEL_TIMEOUT_S
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise SystemExit(f"script/run ended with status {proc.returncode} before the panel")
        try:
            if os.readlink(f"/proc/{proc.pid}/exe") == panel:
                time.sleep(1)
                if proc.poll() is None:
                    os.killpg(proc.pid, signal.SIGTERM)
                    proc.wait(30)
                    return
        except FileNotFoundError:
            pass
        time.sleep(0.2)
    os.killpg(proc.pid, signal.SIGKILL)
    raise SystemExit("script/run showed no panel within the time limit")


def run(what, argv, clone, stdin=None):
    done = subprocess.run(argv, cwd=clone, env=user_env(), input=stdin, capture_output=True,
                          text=True, timeout=LINE_TIMEOUT_S)
    if done.returncode != 0:
        raise SystemExit(f"FAIL {what}\nstatus {done.returncode}\n{done.stdout}{done.stderr}")
    return done.stdout


def main():
    source = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
    clone = tempfile.mkdtemp(prefix="vx3071-readme.")
    try:
        subprocess.run(["git", "clone", "-q", source, clone], check=True)
        with open(os.path.join(clone, "README.md"), encoding="utf-8") as f:
            blocks = [b for s in first_sections(f.read()) for b in code_blocks(s)]
        t0 = time.monotonic()
        with open(os.path.join(clone, "script-run.log"), "w") as log:
            start_panel(clone, log)
        print(f"ok   script/run showed the panel after {time.monotonic() - t0:.0f} s")

        ran = {"sh": 0, "python": 0}
        for lang, body in blocks:
            if lang == "sh":
                for line in body.splitlines():
                    if not line.strip() or re.match(r"script/(run|test)\b", line):
                        continue
                    out = run(line, ["bash", "-c", line], clone)
                    expected = re.search(r"#\s*(-?\d+)\s*$", line)
                    if expected and out.splitlines()[-1:] != [expected.group(1)]:
                        raise SystemExit(f"FAIL {line}\nprinted {out!r}, the README says {expected.group(1)}")
                    print(f"ok   {line}")
                    ran["sh"] += 1
            elif lang == "python":
                # The README's own PYTHONPATH, as its first lines set it.
                run("python block", ["bash", "-c", "PYTHONPATH=build/python python3 -"], clone, body)
                print(f"ok   python block of {len(body.splitlines())} lines")
                ran["python"] += 1
        if not ran["sh"] or not ran["python"]:
            raise SystemExit(f"FAIL the README's first sections gave too little to run: {ran}")
    finally:
        shutil.rmtree(clone, ignore_errors=True)


if __name__ == "__main__":
    main()
