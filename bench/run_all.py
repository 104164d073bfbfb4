"""Run every benchmark script of this directory and collect their reports in bench/RESULTS.md.

Each `bench_*.py` runs in its own interpreter, in sorted order, and prints a Markdown section on
stdout. The sections are written, after a description of the machine, to RESULTS.md next to this
file. A script that fails is reported in its section (with the end of its error output) and the
run goes on; the exit status is then 1.
"""

import argparse
import datetime
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent


def cpu_model():
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def memory_gib():
    try:
        with open("/proc/meminfo", encoding="utf-8") as info:
            for line in info:
                if line.startswith("MemTotal:"):
                    return int(line.split()[1]) / 2**20
    except OSError:
        pass
    return float("nan")


def machine_section():
    import numpy

    try:
        affinity = len(os.sched_getaffinity(0))
    except AttributeError:
        affinity = os.cpu_count()
    rows = [
        ("CPU", cpu_model()),
        ("logical processors", f"{os.cpu_count()} ({affinity} usable by this process)"),
        ("memory", f"{memory_gib():.1f} GiB"),
        ("operating system", f"{platform.system()} {platform.release()} ({platform.machine()})"),
        ("Python", f"{platform.python_version()} ({platform.python_implementation()})"),
        ("NumPy", numpy.__version__),
        ("date (UTC)", datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M")),
    ]
    lines = ["## Machine", "", "| | |", "|---|---|"]
    lines += [f"| {key} | {value} |" for key, value in rows]
    return "\n".join(lines)


def run_script(script, timeout):
    """Run one benchmark; returns (markdown, seconds, ok)."""
    start = time.perf_counter()
    try:
        done = subprocess.run([sys.executable, str(script)], cwd=HERE.parent, capture_output=True,
                              text=True, timeout=timeout, check=False)
    except subprocess.TimeoutExpired:
        seconds = time.perf_counter() - start
        return f"## {script.name}\n\nStopped after {seconds:.0f} s (time limit).", seconds, False
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        tail = "\n".join(done.stderr.strip().splitlines()[-20:])
        text = (f"## {script.name}\n\nFailed with exit status {done.returncode}.\n\n```\n{tail}\n"
                "```")
        return text, seconds, False
    return done.stdout.strip(), seconds, True


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--output", type=Path, default=HERE / "RESULTS.md",
                        help="where to write the report (default bench/RESULTS.md)")
    parser.add_argument("--timeout", type=float, default=600.0,
                        help="time limit per script in seconds (default 600)")
    parser.add_argument("scripts", nargs="*", type=Path,
                        help="scripts to run (default: every bench/bench_*.py)")
    args = parser.parse_args(argv)

    scripts = sorted(args.scripts) if args.scripts else sorted(HERE.glob("bench_*.py"))
    sections = [
        "# quorlin benchmarks",
        "",
        "Each section compares this module with its peers, measured in the same run on the "
        "machine below; each states its problem size, repeats and how its ratios read.",
        "",
        machine_section(),
    ]
    summary = ["## Scripts", "", "| script | seconds | status |", "|---|---:|---|"]
    failed = False
    for script in scripts:
        print(f"== {script.name}", flush=True)
        text, seconds, ok = run_script(script, args.timeout)
        failed |= not ok
        print(text, flush=True)
        print(f"({seconds:.1f} s{'' if ok else ', FAILED'})\n", flush=True)
        sections += ["", text]
        summary.append(f"| {script.name} | {seconds:.1f} | {'ok' if ok else 'failed'} |")
    sections += ["", "\n".join(summary), ""]
    args.output.write_text("\n".join(sections), encoding="utf-8")
    print(f"wrote {args.output}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
