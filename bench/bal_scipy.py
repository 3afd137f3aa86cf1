#!/usr/bin/env python3
"""Solves a "Bundle Adjustment in the Large" problem with SciPy's least_squares, with the
settings bal-solve uses (trf, forward differences over the sparsity, x_scale='jac',
ftol 1e-4), and prints one JSON line per run in bal-solve's format.

usage: bal_scipy.py FILE [--loss linear|huber] [--repeat N] [--count-lsmr]
"""
import argparse
import json
import sys
import time

try:
    import numpy as np
    from scipy.optimize import least_squares
    from scipy.sparse import lil_matrix
    import scipy
except ImportError:
    print("bal_scipy.py: numpy/scipy missing", file=sys.stderr)
    sys.exit(77)


def read_bal(path):
    with open(path) as f:
        n_cam, n_pts, n_obs = map(int, f.readline().split())
        cam_idx = np.empty(n_obs, dtype=int)
        pt_idx = np.empty(n_obs, dtype=int)
        obs = np.empty((n_obs, 2))
        for k in range(n_obs):
            c, p, u, v = f.readline().split()
            cam_idx[k], pt_idx[k] = int(c), int(p)
            obs[k] = float(u), float(v)
        params = np.array([float(f.readline()) for _ in range(9 * n_cam + 3 * n_pts)])
    return n_cam, n_pts, cam_idx, pt_idx, obs, params


def rotate(points, rvecs):
    theta = np.linalg.norm(rvecs, axis=1)[:, np.newaxis]
    with np.errstate(invalid="ignore", divide="ignore"):
        v = rvecs / theta
    v = np.nan_to_num(v)
    dot = np.sum(points * v, axis=1)[:, np.newaxis]
    c, s = np.cos(theta), np.sin(theta)
    return c * points + s * np.cross(v, points) + dot * (1 - c) * v


def project(points, cams):
    p = rotate(points, cams[:, :3]) + cams[:, 3:6]
    p = -p[:, :2] / p[:, 2, np.newaxis]
    n2 = np.sum(p ** 2, axis=1)
    r = 1 + cams[:, 7] * n2 + cams[:, 8] * n2 ** 2
    return cams[:, 6, np.newaxis] * r[:, np.newaxis] * p


def make_problem(n_cam, n_pts, cam_idx, pt_idx, obs):
    def fun(x):
        cams = x[: 9 * n_cam].reshape((n_cam, 9))
        pts = x[9 * n_cam:].reshape((n_pts, 3))
        return (project(pts[pt_idx], cams[cam_idx]) - obs).ravel()

    m = 2 * cam_idx.size
    A = lil_matrix((m, 9 * n_cam + 3 * n_pts), dtype=int)
    i = np.arange(cam_idx.size)
    for s in range(9):
        A[2 * i, cam_idx * 9 + s] = 1
        A[2 * i + 1, cam_idx * 9 + s] = 1
    for s in range(3):
        A[2 * i, n_cam * 9 + pt_idx * 3 + s] = 1
        A[2 * i + 1, n_cam * 9 + pt_idx * 3 + s] = 1
    return fun, A


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("file")
    ap.add_argument("--loss", default="linear", choices=["linear", "huber"])
    ap.add_argument("--repeat", type=int, default=1)
    ap.add_argument("--count-lsmr", action="store_true")
    a = ap.parse_args()
    n_cam, n_pts, cam_idx, pt_idx, obs, x0 = read_bal(a.file)
    fun, A = make_problem(n_cam, n_pts, cam_idx, pt_idx, obs)
    lsmr_iters = []
    if a.count_lsmr:
        import scipy.optimize._lsq.trf as trf
        orig = trf.lsmr

        def counting(*args, **kw):
            res = orig(*args, **kw)
            lsmr_iters.append(int(res[2]))
            return res
        trf.lsmr = counting
    for _ in range(a.repeat):
        lsmr_iters.clear()
        t0 = time.perf_counter()
        r = least_squares(fun, x0, jac_sparsity=A, method="trf", x_scale="jac", ftol=1e-4,
                          loss=a.loss)
        sec = time.perf_counter() - t0
        out = {"program": "scipy " + scipy.__version__, "cameras": n_cam, "points": n_pts,
               "observations": int(cam_idx.size), "loss": a.loss,
               "initial_cost": float(0.5 * np.sum(fun(x0) ** 2)) if a.loss == "linear" else None,
               "final_cost": float(r.cost), "nfev": int(r.nfev), "njev": int(r.njev),
               "optimality": float(r.optimality), "status": int(r.status), "seconds": round(sec, 3)}
        if a.count_lsmr:
            out["lsmr_iterations"] = list(lsmr_iters)
        print(json.dumps(out), flush=True)


if __name__ == "__main__":
    main()
