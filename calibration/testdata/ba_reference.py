#!/usr/bin/env python3
"""SciPy reference for the array-based bundle adjustment: reads a problem written by
calibration_ba_test (REFL_BA_DUMP=file), builds the same parameter vector, bounds,
priors and residuals, and solves with least_squares (trf, x_scale='jac', Huber 1.5,
tolerances 1e-6, forward differences over the sparsity).

usage: ba_reference.py PROBLEM.json [--max-nfev N] [--loss huber|linear]
(exit 77 without SciPy)
"""
import json
import sys

try:
    import numpy as np
    from scipy.optimize import least_squares
    from scipy.sparse import lil_matrix
except ImportError:
    sys.exit(77)


def rodrigues(r):
    th = np.linalg.norm(r)
    if th < np.finfo(float).eps:
        return np.eye(3)
    k = r / th
    K = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
    return np.cos(th) * np.eye(3) + (1 - np.cos(th)) * np.outer(k, k) + np.sin(th) * K


def project(intr, rvec, tvec, X):
    P = rodrigues(rvec) @ X + tvec
    z = 1.0 / P[2] if P[2] else 1.0
    x, y = P[0] * z, P[1] * z
    r2 = x * x + y * y
    k1, k2, p1, p2 = intr[4:8]
    c = 1 + k1 * r2 + k2 * r2 * r2
    xd = x * c + p1 * 2 * x * y + p2 * (r2 + 2 * x * x)
    yd = y * c + p1 * (r2 + 2 * y * y) + p2 * 2 * x * y
    return xd * intr[0] + intr[2], yd * intr[1] + intr[3]


def build(p):
    prior = np.array(p["prior"], float)
    w, h = p["width"], p["height"]
    rv, tv = np.array(p["rvecs"]), np.array(p["tvecs"])
    pts = np.array(p["points"])
    obs = p["observations"]
    a, b = p["view_a"], p["view_b"]
    fixed = int(np.argmax(np.abs(tv[b])))
    rot_idx, tr_idx, nxt = {}, {}, 8
    for v in range(len(rv)):
        if v == a:
            continue
        rot_idx[v] = nxt
        nxt += 3
        for k in range(3):
            if v == b and k == fixed:
                continue
            tr_idx[(v, k)] = nxt
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
    for v, i in rot_idx.items():
        x0[i:i + 3] = rv[v]
    for (v, k), i in tr_idx.items():
        x0[i] = tv[v][k]
    x0[pstart:] = pts.ravel()

    def pose(x, v):
        r = x[rot_idx[v]:rot_idx[v] + 3] if v in rot_idx else rv[v]
        t = np.array([x[tr_idx[(v, k)]] if (v, k) in tr_idx else tv[v][k] for k in range(3)])
        return r, t

    def fun(x):
        out = np.empty(2 * len(obs) + 8)
        for i, (v, q, u, vv) in enumerate(obs):
            r, t = pose(x, v)
            pu, pv = project(x, r, t, x[pstart + 3 * q:pstart + 3 * q + 3])
            out[2 * i], out[2 * i + 1] = pu - u, pv - vv
        out[2 * len(obs):] = (x[:8] - prior) / sig
        return out

    S = lil_matrix((2 * len(obs) + 8, n_par), dtype=int)
    for i, (v, q, u, vv) in enumerate(obs):
        cols = list(range(8)) + [pstart + 3 * q + k for k in range(3)]
        if v in rot_idx:
            cols += [rot_idx[v] + k for k in range(3)]
            cols += [tr_idx[(v, k)] for k in range(3) if (v, k) in tr_idx]
        for c in cols:
            S[2 * i, c] = 1
            S[2 * i + 1, c] = 1
    for k in range(8):
        S[2 * len(obs) + k, k] = 1
    return fun, x0, lb, ub, S


def main():
    p = json.load(open(sys.argv[1]))
    max_nfev = int(sys.argv[sys.argv.index("--max-nfev") + 1]) if "--max-nfev" in sys.argv else 120
    loss = sys.argv[sys.argv.index("--loss") + 1] if "--loss" in sys.argv else "huber"
    fun, x0, lb, ub, S = build(p)
    r = least_squares(fun, x0, jac_sparsity=S, bounds=(lb, ub), method="trf", x_scale="jac",
                      loss=loss, f_scale=1.5, ftol=1e-6, xtol=1e-6, gtol=1e-6,
                      max_nfev=max_nfev)
    n = len(p["observations"])
    e = np.hypot(r.fun[0:2 * n:2], r.fun[1:2 * n:2])
    print(json.dumps({"loss": loss, "max_nfev": max_nfev, "cost": float(r.cost), "nfev": int(r.nfev), "njev": int(r.njev),
                      "status": int(r.status), "optimality": float(r.optimality),
                      "intrinsics": [float(v) for v in r.x[:8]],
                      "final_rms": float(np.sqrt(np.mean(e ** 2)))}))


if __name__ == "__main__":
    main()
