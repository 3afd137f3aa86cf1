#!/usr/bin/env python3
"""SciPy counterpart of ba-solve: reads a problem written by `ba-solve --dump FILE`, builds
the same parameters, bounds, priors and residuals (vectorised), solves with
least_squares (trf, x_scale='jac', Huber 1.5, tolerances 1e-6, forward differences over
the sparsity, SciPy's weighting) and prints one JSON line per run.

usage: ba_scipy.py FILE [--max-nfev N] [--repeat N]
"""
import json
import sys
import time

try:
    import numpy as np
    import scipy
    from scipy.optimize import least_squares
    from scipy.sparse import lil_matrix
except ImportError:
    print("ba_scipy.py: numpy/scipy missing", file=sys.stderr)
    sys.exit(77)


def rotate(points, rvecs):
    theta = np.linalg.norm(rvecs, axis=1)[:, np.newaxis]
    small = theta[:, 0] < np.finfo(float).eps
    with np.errstate(invalid="ignore", divide="ignore"):
        k = np.where(small[:, np.newaxis], 0.0, rvecs / theta)
    c, s = np.cos(theta), np.sin(theta)
    dot = np.sum(points * k, axis=1)[:, np.newaxis]
    out = c * points + s * np.cross(k, points) + dot * (1 - c) * k
    out[small] = points[small]
    return out


def build(p):
    prior = np.array(p["prior"], float)
    w, h = p["width"], p["height"]
    rv, tv = np.array(p["rvecs"]), np.array(p["tvecs"])
    pts = np.array(p["points"])
    obs = np.array(p["observations"])
    ov, op, ouv = obs[:, 0].astype(int), obs[:, 1].astype(int), obs[:, 2:4]
    a, b = p["view_a"], p["view_b"]
    nv = len(rv)
    fixed = int(np.argmax(np.abs(tv[b])))
    rot_idx = -np.ones((nv, 3), int)
    tr_idx = -np.ones((nv, 3), int)
    nxt = 8
    for v in range(nv):
        if v == a:
            continue
        rot_idx[v] = [nxt, nxt + 1, nxt + 2]
        nxt += 3
        for k in range(3):
            if v == b and k == fixed:
                continue
            tr_idx[v, k] = nxt
            nxt += 1
    pstart = nxt
    n_par = pstart + 3 * len(pts)
    lb = np.full(n_par, -np.inf)
    ub = np.full(n_par, np.inf)
    lb[:8] = [0.55 * prior[0], 0.55 * prior[1], 0.15 * w, 0.15 * h, -0.5, -0.5, -0.05, -0.05]
    ub[:8] = [1.8 * prior[0], 1.8 * prior[1], 0.85 * w, 0.85 * h, 0.5, 0.5, 0.05, 0.05]
    sig = np.array([max(1.0, 0.1 * abs(prior[0])), max(1.0, 0.1 * abs(prior[1])), 24.0, 24.0,
                    0.05, 0.05, 0.01, 0.01])
    x0 = np.zeros(n_par)
    x0[:8] = prior
    x0[:4] = np.minimum(np.maximum(x0[:4], lb[:4] + 1e-10), ub[:4] - 1e-10)
    x0[4:6] = np.clip(x0[4:6], -0.4999999999, 0.4999999999)
    x0[6:8] = np.clip(x0[6:8], -0.0499999999, 0.0499999999)
    for v in range(nv):
        for k in range(3):
            if rot_idx[v, k] >= 0:
                x0[rot_idx[v, k]] = rv[v, k]
            if tr_idx[v, k] >= 0:
                x0[tr_idx[v, k]] = tv[v, k]
    x0[pstart:] = pts.ravel()
    n = len(ov)

    def fun(x):
        R = np.where(rot_idx >= 0, x[np.maximum(rot_idx, 0)], rv)
        T = np.where(tr_idx >= 0, x[np.maximum(tr_idx, 0)], tv)
        X = x[pstart:].reshape(-1, 3)[op]
        P = rotate(X, R[ov]) + T[ov]
        z = np.where(P[:, 2] != 0, 1.0 / np.where(P[:, 2] != 0, P[:, 2], 1.0), 1.0)
        xn, yn = P[:, 0] * z, P[:, 1] * z
        r2 = xn * xn + yn * yn
        k1, k2, p1, p2 = x[4:8]
        c = 1 + k1 * r2 + k2 * r2 * r2
        xd = xn * c + p1 * 2 * xn * yn + p2 * (r2 + 2 * xn * xn)
        yd = yn * c + p1 * (r2 + 2 * yn * yn) + p2 * 2 * xn * yn
        out = np.empty(2 * n + 8)
        out[0:2 * n:2] = xd * x[0] + x[2] - ouv[:, 0]
        out[1:2 * n:2] = yd * x[1] + x[3] - ouv[:, 1]
        out[2 * n:] = (x[:8] - prior) / sig
        return out

    S = lil_matrix((2 * n + 8, n_par), dtype=int)
    for i in range(n):
        cols = list(range(8)) + [pstart + 3 * op[i] + k for k in range(3)]
        cols += [c for c in rot_idx[ov[i]] if c >= 0] + [c for c in tr_idx[ov[i]] if c >= 0]
        for c in cols:
            S[2 * i, c] = 1
            S[2 * i + 1, c] = 1
    for k in range(8):
        S[2 * n + k, k] = 1
    return fun, x0, lb, ub, S


def main():
    p = json.load(open(sys.argv[1]))
    max_nfev = int(sys.argv[sys.argv.index("--max-nfev") + 1]) if "--max-nfev" in sys.argv else 120
    repeat = int(sys.argv[sys.argv.index("--repeat") + 1]) if "--repeat" in sys.argv else 1
    fun, x0, lb, ub, S = build(p)
    for _ in range(repeat):
        t0 = time.perf_counter()
        r = least_squares(fun, x0, jac_sparsity=S, bounds=(lb, ub), method="trf", x_scale="jac",
                          loss="huber", f_scale=1.5, ftol=1e-6, xtol=1e-6, gtol=1e-6,
                          max_nfev=max_nfev)
        sec = time.perf_counter() - t0
        n = len(p["observations"])
        e = np.hypot(r.fun[0:2 * n:2], r.fun[1:2 * n:2])
        print(json.dumps({"program": "scipy " + scipy.__version__, "observations": n,
                          "initial_cost": None, "final_cost": float(r.cost), "nfev": int(r.nfev),
                          "status": int(r.status), "final_rms": float(np.sqrt(np.mean(e ** 2))),
                          "fx": float(r.x[0]), "cx": float(r.x[2]), "cy": float(r.x[3]),
                          "k1": float(r.x[4]), "seconds": round(sec, 3)}), flush=True)


if __name__ == "__main__":
    main()
