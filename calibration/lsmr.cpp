#include "lsmr.h"

#include <algorithm>
#include <cmath>

namespace refl {

namespace {

double scaledNorm2(const std::vector<double>& v) {
    // Scaled sum of squares, safe against overflow and underflow.
    double scale = 0.0, ssq = 1.0;
    for (double x : v) {
        if (x != 0.0) {
            const double a = std::fabs(x);
            if (scale < a) {
                ssq = 1.0 + ssq * (scale / a) * (scale / a);
                scale = a;
            } else {
                ssq += (a / scale) * (a / scale);
            }
        }
    }
    return scale * std::sqrt(ssq);
}

double norm2(const std::vector<double>& v) {
    // Four partial sums so that the loop vectorises.
    double p[4] = {0, 0, 0, 0};
    const size_t n = v.size(), n4 = n - n % 4;
    for (size_t i = 0; i < n4; i += 4) {
        p[0] += v[i] * v[i];
        p[1] += v[i + 1] * v[i + 1];
        p[2] += v[i + 2] * v[i + 2];
        p[3] += v[i + 3] * v[i + 3];
    }
    for (size_t i = n4; i < n; ++i) p[0] += v[i] * v[i];
    const double s = (p[0] + p[1]) + (p[2] + p[3]);
    if (std::isfinite(s) && s > 1e-280) return std::sqrt(s);
    return scaledNorm2(v);
}

double signOf(double v) { return v > 0 ? 1.0 : (v < 0 ? -1.0 : 0.0); }

// v <- w - f * v and |v| in one pass, summed exactly as norm2 sums.
double updateAndNorm(std::vector<double>& v, const std::vector<double>& w, double f) {
    double p[4] = {0, 0, 0, 0};
    const size_t n = v.size(), n4 = n - n % 4;
    for (size_t i = 0; i < n4; i += 4) {
        for (int k = 0; k < 4; ++k) {
            const double e = w[i + k] - f * v[i + k];
            v[i + k] = e;
            p[k] += e * e;
        }
    }
    for (size_t i = n4; i < n; ++i) {
        const double e = w[i] - f * v[i];
        v[i] = e;
        p[0] += e * e;
    }
    const double s = (p[0] + p[1]) + (p[2] + p[3]);
    if (std::isfinite(s) && s > 1e-280) return std::sqrt(s);
    return scaledNorm2(v);
}

}  // namespace

void symOrtho(double a, double b, double& c, double& s, double& r) {
    if (b == 0.0) {
        c = signOf(a);
        s = 0.0;
        r = std::fabs(a);
    } else if (a == 0.0) {
        c = 0.0;
        s = signOf(b);
        r = std::fabs(b);
    } else if (std::fabs(b) > std::fabs(a)) {
        const double tau = a / b;
        s = signOf(b) / std::sqrt(1.0 + tau * tau);
        c = s * tau;
        r = b / s;
    } else {
        const double tau = b / a;
        c = signOf(a) / std::sqrt(1.0 + tau * tau);
        s = c * tau;
        r = a / c;
    }
}

std::string LsmrOptions::validate() const {
    if (!(damp >= 0) || !std::isfinite(damp))
        return "damping " + std::to_string(damp) + " is not a finite value >= 0";
    if (!(atol >= 0) || !(btol >= 0)) return "tolerances atol and btol must not be negative";
    if (!(conlim >= 0)) return "condition limit " + std::to_string(conlim) + " below 0";
    if (maxIterations < -1) return "iteration cap " + std::to_string(maxIterations) + " below -1";
    return std::string();
}

LsmrResult lsmr(const LinearOperator& A, const std::vector<double>& b, const LsmrOptions& opt) {
    const int m = A.rows, n = A.cols;
    if (!opt.validate().empty()) {
        LsmrResult invalid;
        invalid.x.assign(std::max(n, 0), 0.0);
        invalid.stopReason = -1;
        return invalid;
    }
    const int maxIter = opt.maxIterations >= 0 ? opt.maxIterations : std::min(m, n);
    const double damp = opt.damp;
    LsmrResult res;
    res.x.assign(n, 0.0);
    std::vector<double>& x = res.x;

    std::vector<double> u(b), v(n, 0.0), tmpM(A.applyBoth ? 0 : m), tmpN(n);
    const double normb = norm2(b);
    double beta = normb;
    double alpha = 0.0;
    if (beta > 0) {
        for (double& e : u) e *= 1.0 / beta;
        A.applyTransposed(u.data(), v.data());
        alpha = norm2(v);
    }
    if (alpha > 0) {
        for (double& e : v) e *= 1.0 / alpha;
    }

    double zetabar = alpha * beta, alphabar = alpha;
    double rho = 1, rhobar = 1, cbar = 1, sbar = 0;
    std::vector<double> h(v), hbar(n, 0.0);
    double betadd = beta, betad = 0, rhodold = 1, tautildeold = 0, thetatilde = 0, zeta = 0, d = 0;
    double normA2 = alpha * alpha, maxrbar = 0, minrbar = 1e100;
    double normA = std::sqrt(normA2), condA = 1, normx = 0;
    const double ctol = opt.conlim > 0 ? 1.0 / opt.conlim : 0.0;
    double normr = beta;
    double normar = alpha * beta;
    int istop = 0, itn = 0;

    auto finish = [&]() {
        res.stopReason = istop;
        res.iterations = itn;
        res.normR = normr;
        res.normAR = normar;
        res.normA = normA;
        res.condA = condA;
        res.normX = normx;
        return res;
    };
    if (normar == 0 || normb == 0) return finish();

    while (itn < maxIter) {
        ++itn;
        // Bidiagonalisation: beta*u = A v - alpha*u, alpha*v = A^T u - beta*v.
        if (A.applyBoth) {
            A.applyBoth(v.data(), alpha, u.data(), tmpN.data());
            beta = norm2(u);
        } else {
            A.apply(v.data(), tmpM.data());
            beta = updateAndNorm(u, tmpM, alpha);
        }
        if (beta > 0) {
            const double ib = 1.0 / beta;
            for (double& e : u) e *= ib;
            if (A.applyBoth) {
                for (double& e : tmpN) e *= ib;
            } else {
                A.applyTransposed(u.data(), tmpN.data());
            }
            alpha = updateAndNorm(v, tmpN, beta);
            if (alpha > 0) {
                const double ia = 1.0 / alpha;
                for (double& e : v) e *= ia;
            }
        }

        double chat, shat, alphahat;
        symOrtho(alphabar, damp, chat, shat, alphahat);

        const double rhoold = rho;
        double c, s;
        symOrtho(alphahat, beta, c, s, rho);
        const double thetanew = s * alpha;
        alphabar = c * alpha;

        const double rhobarold = rhobar, zetaold = zeta;
        const double thetabar = sbar * rho;
        const double rhotemp = cbar * rho;
        symOrtho(cbar * rho, thetanew, cbar, sbar, rhobar);
        zeta = cbar * zetabar;
        zetabar = -sbar * zetabar;

        const double fHbar = -(thetabar * rho / (rhoold * rhobarold));
        const double fX = zeta / (rho * rhobar);
        const double fH = -(thetanew / rho);
        for (int i = 0; i < n; ++i) {
            hbar[i] = hbar[i] * fHbar + h[i];
            x[i] += fX * hbar[i];
            h[i] = h[i] * fH + v[i];
        }

        // Estimate of |r|.
        const double betaacute = chat * betadd;
        const double betacheck = -shat * betadd;
        const double betahat = c * betaacute;
        betadd = -s * betaacute;
        const double thetatildeold = thetatilde;
        double ctildeold, stildeold, rhotildeold;
        symOrtho(rhodold, thetabar, ctildeold, stildeold, rhotildeold);
        thetatilde = stildeold * rhobar;
        rhodold = ctildeold * rhobar;
        betad = -stildeold * betad + ctildeold * betahat;
        tautildeold = (zetaold - thetatildeold * tautildeold) / rhotildeold;
        const double taud = (zeta - thetatilde * tautildeold) / rhodold;
        d += betacheck * betacheck;
        normr = std::sqrt(d + (betad - taud) * (betad - taud) + betadd * betadd);

        // Estimates of |A| and cond(A).
        normA2 += beta * beta;
        normA = std::sqrt(normA2);
        normA2 += alpha * alpha;
        maxrbar = std::max(maxrbar, rhobarold);
        if (itn > 1) minrbar = std::min(minrbar, rhobarold);
        condA = std::max(maxrbar, rhotemp) / std::min(minrbar, rhotemp);

        normar = std::fabs(zetabar);
        normx = norm2(x);

        const double test1 = normr / normb;
        const double test2 = (normA * normr) != 0 ? normar / (normA * normr) : INFINITY;
        const double test3 = 1.0 / condA;
        const double t1 = test1 / (1.0 + normA * normx / normb);
        const double rtol = opt.btol + opt.atol * normA * normx / normb;

        if (itn >= maxIter) istop = 7;
        if (1.0 + test3 <= 1.0) istop = 6;
        if (1.0 + test2 <= 1.0) istop = 5;
        if (1.0 + t1 <= 1.0) istop = 4;
        if (test3 <= ctol) istop = 3;
        if (test2 <= opt.atol) istop = 2;
        if (test1 <= rtol) istop = 1;
        if (istop > 0) break;
    }
    return finish();
}

}  // namespace refl
