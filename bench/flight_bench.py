#!/usr/bin/python3
"""Whole runs of reflectivity-batch over generated flights: wall and CPU time per phase and peak memory.

For each flight size N (captures of the default camera, 1280 x 960, six bands) the flight is generated
once with reflectivity-sample, then converted to reflectance with its panel capture, in each
registration mode and with each thread count. The batch command prints a "phase:" line on standard
error whenever the run's phase changes; at each one this script reads the process's CPU time and its
memory high-water mark from /proc, so every phase gets its wall time, its CPU time and the peak
resident memory reached by its end.

    bench/flight_bench.py [--build build] [--captures 8,24,100] [--modes common,per-group]
                          [--threads 1,2] [--work DIR] [--keep]

Each run prints one line per phase and one total line:
    N=8 mode=common threads=2 phase=Registration wall=12.3s cpu=23.1s peak=612MB
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

# The phase texts the run shows, by the phase they begin.
PHASE_STARTS = [
    ("SfM相机标定中", "Self-calibration"),
    ("预处理中", "Conversion"),
    ("结果生成中", "Registration"),
]
TICKS = os.sysconf("SC_CLK_TCK")


def proc_cpu(pid):
    """User + system CPU seconds of a running process (all its threads)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICKS
    except (OSError, IndexError, ValueError):
        return None


def proc_peak_mb(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024.0
    except (OSError, ValueError):
        pass
    return None


def generate(build, folder, captures):
    if os.path.exists(os.path.join(folder, "truth.json")):
        return
    sample = os.path.join(build, "tools", "reflectivity-sample")
    subprocess.run([sample, folder, "--captures", str(captures)], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def run(build, flight, out, log, mode, threads):
    """Runs one job; returns (phases [(name, wall, cpu, peak)], total wall, total cpu, peak MB, exit code)."""
    batch = os.path.join(build, "app", "reflectivity-batch")
    panels = sorted(os.path.join(flight, "panel", f) for f in os.listdir(os.path.join(flight, "panel"))
                    if f.startswith("IMG_0000_") and f.endswith(".tif"))
    cmd = [batch, "--raw", os.path.join(flight, "flight"), "--out", out, "--registration", mode,
           "--threads", str(threads), "--log-dir", log]
    for p in panels:
        cmd += ["--panel", p]
    start = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, errors="replace")
    phases = []
    current, since, cpu_since = "Panel", start, 0.0
    last_cpu, last_peak = 0.0, 0.0
    for line in proc.stderr:
        if not line.startswith("phase: "):
            continue
        text = line[len("phase: "):]
        for prefix, name in PHASE_STARTS:
            if text.startswith(prefix) and name != current:
                now, cpu, peak = time.monotonic(), proc_cpu(proc.pid), proc_peak_mb(proc.pid)
                last_cpu = cpu if cpu is not None else last_cpu
                last_peak = peak if peak is not None else last_peak
                phases.append((current, now - since, last_cpu - cpu_since, last_peak))
                current, since, cpu_since = name, now, last_cpu
    _, status, usage = os.wait4(proc.pid, 0)
    end = time.monotonic()
    total_cpu = usage.ru_utime + usage.ru_stime
    peak = usage.ru_maxrss / 1024.0
    phases.append((current, end - since, total_cpu - cpu_since, peak))
    code = os.waitstatus_to_exitcode(status)
    return phases, end - start, total_cpu, peak, code


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default="build")
    ap.add_argument("--captures", default="8,24,100")
    ap.add_argument("--modes", default="common,per-group")
    ap.add_argument("--threads", default="1,2")
    ap.add_argument("--work", help="folder for the flights and results (default: a temporary one)")
    ap.add_argument("--keep", action="store_true", help="keep the generated flights and results")
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    work = os.path.abspath(args.work) if args.work else tempfile.mkdtemp(prefix="flight_bench_")
    os.makedirs(work, exist_ok=True)
    print(f"# machine: {os.cpu_count()} cores; work folder {work}")
    failed = 0
    try:
        for n in [int(x) for x in args.captures.split(",") if x]:
            flight = os.path.join(work, f"flight{n}")
            t0 = time.monotonic()
            generate(build, flight, n)
            print(f"# N={n}: flight ready in {time.monotonic() - t0:.1f} s", flush=True)
            for mode in args.modes.split(","):
                for threads in [int(x) for x in args.threads.split(",") if x]:
                    out = os.path.join(work, f"out{n}_{mode}_{threads}")
                    log = os.path.join(work, "log")
                    shutil.rmtree(out, ignore_errors=True)
                    phases, wall, cpu, peak, code = run(build, flight, out, log, mode, threads)
                    tag = f"N={n} mode={mode} threads={threads}"
                    for name, pw, pc, pp in phases:
                        print(f"{tag} phase={name} wall={pw:.1f}s cpu={pc:.1f}s peak={pp:.0f}MB")
                    print(f"{tag} total wall={wall:.1f}s cpu={cpu:.1f}s peak={peak:.0f}MB exit={code}", flush=True)
                    if code not in (0, 1):  # 1: bands to check, still a finished run
                        failed += 1
                    if not args.keep:
                        shutil.rmtree(out, ignore_errors=True)
            if not args.keep:
                shutil.rmtree(flight, ignore_errors=True)
    finally:
        if not args.keep and not args.work:
            shutil.rmtree(work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
