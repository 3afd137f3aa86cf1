#!/usr/bin/env python3
"""Side-by-side comparison of the least-squares solvers on one "Bundle Adjustment in the Large"
problem: bal-solve with its default steps (exact, Schur complement), bal-solve --faithful (LSMR
steps, SciPy's method), SciPy's least_squares (bal_scipy.py) and Ceres Solver (ceres-bal-solve,
when it was built). The programs run one after another, RUNS times in turn, so that a load that
comes and goes on a shared machine hits them alike.

usage: solver_compare.py [--build DIR] [--loss linear|huber] [--threads N] [--runs N]
                         [--skip-scipy] [FILE]

FILE defaults to data/bal/problem-49-7776-pre.txt in $REFLECTIVITY_SHARED_DIR, else in ../shared
beside the repository (as for the tests). Prints, per
program, the solve time reported by the program (min-max over the runs), the process's wall and
CPU time, the final cost, the evaluations and the time relative to SciPy and to Ceres.
"""
import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
# Debian's python3 carries python3-scipy; another python3 first on PATH may not.
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable


def run(cmd):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    wall = time.perf_counter() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    line = next((l for l in reversed(p.stdout.splitlines()) if l.startswith("{")), None)
    if p.returncode != 0 or line is None:
        sys.stderr.write("solver_compare: %s failed (%d): %s\n" % (cmd[0], p.returncode, p.stderr.strip()[-400:]))
        return None
    out = json.loads(line)
    out["process_wall"] = wall
    out["process_cpu"] = cpu
    return out


def span(values, fmt):
    lo, hi = min(values), max(values)
    return (fmt % lo) if fmt % lo == fmt % hi else (fmt % lo) + "-" + (fmt % hi)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("file", nargs="?",
                    default=os.path.join(os.environ.get("REFLECTIVITY_SHARED_DIR", os.path.join(REPO, "..", "shared")),
                                         "data", "bal", "problem-49-7776-pre.txt"))
    ap.add_argument("--build", default=os.path.join(REPO, "build"))
    ap.add_argument("--loss", default="linear", choices=["linear", "huber"])
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--skip-scipy", action="store_true")
    a = ap.parse_args()
    if not os.path.exists(a.file):
        sys.exit("solver_compare: no problem file %s" % a.file)
    bal = os.path.join(a.build, "bench", "bal-solve")
    ceres = os.path.join(a.build, "bench", "ceres-bal-solve")
    if not os.path.exists(bal):
        sys.exit("solver_compare: build bal-solve first (%s)" % bal)
    common = [a.file, "--loss", a.loss, "--threads", str(a.threads)]
    programs = [("ours (default)", [bal] + common), ("ours (faithful)", [bal] + common + ["--faithful"])]
    if not a.skip_scipy:
        programs.append(("scipy", [PYTHON, os.path.join(HERE, "bal_scipy.py"), a.file, "--loss", a.loss]))
    if os.path.exists(ceres):
        programs.append(("ceres", [ceres] + common))
    else:
        print("ceres-bal-solve not built (libceres-dev not installed): Ceres left out")

    results = {name: [] for name, _ in programs}
    for _ in range(a.runs):
        for name, cmd in programs:
            r = run(cmd)
            if r is not None:
                results[name].append(r)

    print("problem %s, loss %s, threads %d (ours, ceres; scipy: its own), %d runs each"
          % (os.path.basename(a.file), a.loss, a.threads, a.runs))
    best = {name: min(r["seconds"] for r in rs) for name, rs in results.items() if rs}
    median = {name: statistics.median(r["seconds"] for r in rs) for name, rs in results.items() if rs}
    print("%-16s %-13s %-8s %-13s %-13s %-22s %-10s %-9s %-13s" %
          ("program", "solve s", "median", "wall s", "cpu s", "final cost", "nfev/iter", "vs scipy",
           "vs ceres"))
    for name, rs in results.items():
        if not rs:
            print("%-16s failed" % name)
            continue
        evals = [r.get("nfev", r.get("iterations", 0)) for r in rs]
        ratio_s = "%.1fx" % (best["scipy"] / best[name]) if "scipy" in best else "-"
        ratio_c = ("%.2fx/%.2fx" % (best["ceres"] / best[name], median["ceres"] / median[name])
                   if "ceres" in best else "-")
        print("%-16s %-13s %-8s %-13s %-13s %-22s %-10s %-9s %-13s" % (
            name, span([r["seconds"] for r in rs], "%.3f"), "%.3f" % median[name],
            span([r["process_wall"] for r in rs], "%.2f"),
            span([r["process_cpu"] for r in rs], "%.2f"), span([r["final_cost"] for r in rs], "%.4f"),
            span(evals, "%d"), ratio_s, ratio_c))
    print("(vs scipy: from the best solve time of each program; vs ceres: best/median; 'solve s' excludes "
          "reading the file)")


if __name__ == "__main__":
    main()
