// Coarse-to-fine ECC refinement of a homography (forward additive, as in Evangelidis and Psarakis,
// "Parametric image alignment using enhanced correlation coefficient maximization", 2008).
//
// One iteration warps the input image and its gradients onto the template grid in one call, then
// gathers in a single pass over the valid pixels everything the update needs: the image moments, the
// projections of both zero-mean images onto the warp Jacobian and the Jacobian's Gram matrix. The
// update is the one of the paper. The reduced levels move only the affine part of the warp: the two
// perspective terms are poorly held by a blurred, smaller image, and letting them drift there leads
// the full-size level to a different, worse optimum on plain or edge-like band images. Since a fixed
// point of the update is a stationary point of the correlation whatever positive definite Gram matrix
// is used, the matrix may come from every fourth row at full size without moving the result. Sums run row by
// row in a fixed order: results do not depend on threads.
#include "ecc_refine.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <vector>

namespace refl {

namespace {

constexpr int kParams = 8;
constexpr int kGram = kParams * (kParams + 1) / 2;

// Everything one pass over the valid pixels gathers.
struct Sums {
    double n = 0, t = 0, tt = 0, i = 0, ii = 0, ti = 0;
    std::array<double, kParams> j{}, jt{}, ji{};
    std::array<double, kGram> gram{};
    double gramRows = 0, rows = 0;  // rows that fed the Gram matrix / rows with valid pixels
};

// Sum of a[k]*b[k] with eight float partial sums (short rows: exact enough, and vectorisable).
double dot(const float* a, const float* b, int n) {
    float acc[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int k = 0;
    for (; k + 8 <= n; k += 8)
        for (int l = 0; l < 8; ++l) acc[l] += a[k + l] * b[k + l];
    double s = 0;
    for (; k < n; ++k) s += double(a[k]) * b[k];
    for (int l = 0; l < 8; ++l) s += acc[l];
    return s;
}

double sum(const float* a, int n) {
    float acc[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int k = 0;
    for (; k + 8 <= n; k += 8)
        for (int l = 0; l < 8; ++l) acc[l] += a[k + l];
    double s = 0;
    for (; k < n; ++k) s += a[k];
    for (int l = 0; l < 8; ++l) s += acc[l];
    return s;
}

struct Level {
    cv::Mat templ;   // CV_32F, prefiltered
    cv::Mat packed;  // CV_32FC3: prefiltered input, its x and y gradients
    // Scratch of one pass, kept from one iteration to the next.
    cv::Mat warped;
    std::vector<float> rowT, rowI, rowGx, rowGy, rowU, rowV, rowX;
    std::vector<std::vector<float>> jac;
};

Level prepareLevel(const cv::Mat& templ, const cv::Mat& input, int gaussianSize) {
    Level level;
    const cv::Size k(gaussianSize, gaussianSize);
    cv::GaussianBlur(templ, level.templ, k, 0, 0);
    cv::Mat in, gx, gy;
    cv::GaussianBlur(input, in, k, 0, 0);
    const cv::Matx13f dx(-0.5f, 0.0f, 0.5f);
    cv::filter2D(in, gx, -1, dx);
    cv::filter2D(in, gy, -1, dx.t());
    cv::merge(std::vector<cv::Mat>{in, gx, gy}, level.packed);
    const size_t width = size_t(templ.cols);
    for (std::vector<float>* v :
         {&level.rowT, &level.rowI, &level.rowGx, &level.rowGy, &level.rowU, &level.rowV, &level.rowX})
        v->resize(width);
    for (size_t x = 0; x < width; ++x) level.rowX[x] = float(x);
    level.jac.assign(kParams, std::vector<float>(width));
    return level;
}

// One pass over the template grid under warp W (template -> input); the Gram matrix from every
// `gramStride`-th row.
Sums gather(Level& level, const cv::Matx33d& W, int gramStride) {
    const int width = level.templ.cols, height = level.templ.rows;
    const double maxU = level.packed.cols - 2, maxV = level.packed.rows - 2;
    cv::warpPerspective(level.packed, level.warped, cv::Mat(W), level.templ.size(),
                        cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_CONSTANT, cv::Scalar::all(0));
    Sums s;
    const double h0 = W(0, 0), h1 = W(0, 1), h2 = W(0, 2), h3 = W(1, 0), h4 = W(1, 1), h5 = W(1, 2),
                 h6 = W(2, 0), h7 = W(2, 1), h8 = W(2, 2);
    auto inside = [&](int x, int y) {
        const double d = h6 * x + h7 * y + h8;
        if (!(d > 1e-12)) return false;
        const double u = (h0 * x + h1 * y + h2) / d, v = (h3 * x + h4 * y + h5) / d;
        return u >= 0.0 && v >= 0.0 && u <= maxU && v <= maxV;
    };
    for (int y = 0; y < height; ++y) {
        // The template pixels that land inside the input form one run per row (the preimage of a
        // rectangle under a homography that keeps the denominator positive is convex).
        int x0 = 0, x1 = width - 1;
        while (x0 <= x1 && !inside(x0, y)) ++x0;
        while (x1 >= x0 && !inside(x1, y)) --x1;
        const int n = x1 - x0 + 1;
        if (n <= 0) continue;
        const float* t = level.templ.ptr<float>(y) + x0;
        const float* w = level.warped.ptr<float>(y) + 3 * x0;
        float* I = level.rowI.data();
        float* gx = level.rowGx.data();
        float* gy = level.rowGy.data();
        float* u = level.rowU.data();
        float* v = level.rowV.data();
        const float* xs = level.rowX.data() + x0;
        for (int k = 0; k < n; ++k) {
            I[k] = w[3 * k];
            gx[k] = w[3 * k + 1];
            gy[k] = w[3 * k + 2];
        }
        const float a0 = float(h0), a1 = float(h1 * y + h2), b0 = float(h3), b1 = float(h4 * y + h5),
                    c0 = float(h6), c1 = float(h7 * y + h8), fy = float(y);
        float* j0 = level.jac[0].data();
        float* j1 = level.jac[1].data();
        float* j2 = level.jac[2].data();
        float* j3 = level.jac[3].data();
        float* j4 = level.jac[4].data();
        float* j5 = level.jac[5].data();
        float* j6 = level.jac[6].data();
        float* j7 = level.jac[7].data();
        for (int k = 0; k < n; ++k) {
            const float x = xs[k];
            const float den = 1.0f / (c0 * x + c1);
            u[k] = (a0 * x + a1) * den;
            v[k] = (b0 * x + b1) * den;
            const float gxw = gx[k] * den, gyw = gy[k] * den;
            const float sj = -(u[k] * gxw + v[k] * gyw);
            j0[k] = gxw * x;
            j1[k] = gyw * x;
            j2[k] = sj * x;
            j3[k] = gxw * fy;
            j4[k] = gyw * fy;
            j5[k] = sj * fy;
            j6[k] = gxw;
            j7[k] = gyw;
        }
        s.rows += 1;
        s.n += n;
        s.t += sum(t, n);
        s.i += sum(I, n);
        s.tt += dot(t, t, n);
        s.ii += dot(I, I, n);
        s.ti += dot(t, I, n);
        for (int p = 0; p < kParams; ++p) {
            const float* jp = level.jac[size_t(p)].data();
            s.j[size_t(p)] += sum(jp, n);
            s.jt[size_t(p)] += dot(jp, t, n);
            s.ji[size_t(p)] += dot(jp, I, n);
        }
        if (y % gramStride == 0) {
            s.gramRows += 1;
            int g = 0;
            for (int p = 0; p < kParams; ++p)
                for (int q = p; q < kParams; ++q)
                    s.gram[size_t(g++)] += dot(level.jac[size_t(p)].data(), level.jac[size_t(q)].data(), n);
        }
    }
    return s;
}

// Largest movement of the level's image corners between two warps.
double cornerStep(const cv::Matx33d& a, const cv::Matx33d& b, const cv::Size& size) {
    double worst = 0;
    const double w = size.width - 1, h = size.height - 1;
    for (const cv::Vec3d& c :
         {cv::Vec3d(0, 0, 1), cv::Vec3d(w, 0, 1), cv::Vec3d(w, h, 1), cv::Vec3d(0, h, 1)}) {
        const cv::Vec3d p = a * c, q = b * c;
        worst = std::max(worst, std::hypot(p[0] / p[2] - q[0] / q[2], p[1] / p[2] - q[1] / q[2]));
    }
    return worst;
}

struct LevelOutcome {
    int iterations = 0;
    bool converged = false;
    double correlation = 0;
    QString error;
};

// Iterates the update from W. An update that lowers the correlation overshot (the update is a
// linearisation; on weakly correlated bands it swings back and forth by pixels): it is halved from the
// previous warp instead, so that the correlation only ever rises.
LevelOutcome iterateLevel(Level& level, cv::Matx33d& W, int maxIterations, int gramStride,
                          bool holdPerspective, const EccRefineOptions& settings) {
    LevelOutcome out;
    bool havePrevious = false;
    cv::Matx33d previous = W;
    double previousRho = -1.0;
    const double minPixels = 0.1 * double(level.templ.total());
    for (int it = 0; it < maxIterations; ++it) {
        const Sums s = gather(level, W, gramStride);
        out.iterations = it + 1;
        if (s.n < std::max(minPixels, 64.0) || s.gramRows < 1) {
            out.error = "the images do not overlap enough under the warp";
            return out;
        }
        const double tm = s.t / s.n, im = s.i / s.n;
        const double tmpNorm2 = s.tt - s.n * tm * tm, imgNorm2 = s.ii - s.n * im * im;
        const double corr = s.ti - s.n * tm * im;
        if (!(tmpNorm2 > 0) || !(imgNorm2 > 0)) {
            out.error = "an image is constant where the two overlap";
            return out;
        }
        const double rho = corr / std::sqrt(tmpNorm2 * imgNorm2);
        if (havePrevious && rho < previousRho) {
            const double back = cornerStep(previous, W, level.templ.size());
            if (back < settings.cornerStepPx || previousRho - rho < settings.correlationEpsilon) {
                W = previous;
                out.correlation = previousRho;
                out.converged = true;
                return out;
            }
            W = previous + 0.5 * (W - previous);
            continue;
        }
        cv::Matx<double, kParams, kParams> G;
        int g = 0;
        const double scale = s.rows / s.gramRows;  // the sampled rows stand for all of them
        for (int p = 0; p < kParams; ++p)
            for (int q = p; q < kParams; ++q) G(p, q) = G(q, p) = scale * s.gram[size_t(g++)];
        cv::Vec<double, kParams> pI, pT;
        for (int p = 0; p < kParams; ++p) {
            pI[p] = s.ji[size_t(p)] - im * s.j[size_t(p)];
            pT[p] = s.jt[size_t(p)] - tm * s.j[size_t(p)];
        }
        if (holdPerspective)
            for (int p : {2, 5}) {  // the two perspective terms keep their value: no update along them
                for (int q = 0; q < kParams; ++q) G(p, q) = G(q, p) = 0.0;
                G(p, p) = 1.0;
                pI[p] = pT[p] = 0.0;
            }
        cv::Matx<double, kParams, kParams> Ginv;
        if (!cv::invert(G, Ginv, cv::DECOMP_CHOLESKY) && !cv::invert(G, Ginv, cv::DECOMP_SVD)) {
            out.error = "the warp Jacobian is degenerate";
            return out;
        }
        const cv::Vec<double, kParams> ipG = Ginv * pI;
        const double lambdaN = imgNorm2 - pI.dot(ipG);
        const double lambdaD = corr - pT.dot(ipG);
        if (!(lambdaD > 0)) {
            out.error =
                "the correlation would be minimised: the images may be uncorrelated or not overlapping";
            return out;
        }
        const double lambda = lambdaN / lambdaD;
        const cv::Vec<double, kParams> delta = Ginv * (lambda * pT - pI);
        cv::Matx33d next = W;
        next(0, 0) += delta[0];
        next(1, 0) += delta[1];
        next(2, 0) += delta[2];
        next(0, 1) += delta[3];
        next(1, 1) += delta[4];
        next(2, 1) += delta[5];
        next(0, 2) += delta[6];
        next(1, 2) += delta[7];
        for (int k = 0; k < 9; ++k)
            if (!std::isfinite(next.val[k])) {
                out.error = "the warp diverged";
                return out;
            }
        const double step = cornerStep(W, next, level.templ.size());
        const bool settled = havePrevious && std::fabs(rho - previousRho) < settings.correlationEpsilon;
        previous = W;
        previousRho = rho;
        havePrevious = true;
        W = next;
        out.correlation = rho;
        if (step < settings.cornerStepPx || settled) {
            out.converged = true;
            return out;
        }
    }
    return out;
}

cv::Mat toFloat(const cv::Mat& image) {
    cv::Mat out;
    image.convertTo(out, CV_32F);
    return out;
}

}  // namespace

EccRefineResult refineHomographyEcc(const cv::Mat& templ, const cv::Mat& input, const cv::Matx33d& start,
                                    const EccRefineOptions& settings) {
    EccRefineResult result;
    auto usable = [](const cv::Mat& m) {
        return !m.empty() && m.channels() == 1 && (m.depth() == CV_8U || m.depth() == CV_32F) &&
               m.cols >= 8 && m.rows >= 8;
    };
    if (!usable(templ) || !usable(input)) {
        result.error = "ECC refinement takes two single-channel 8-bit or float images of at least 8x8 pixels";
        return result;
    }
    if (std::fabs(start(2, 2)) < 1e-12) {
        result.error = "the starting warp is degenerate";
        return result;
    }
    int reductions = 0;
    const int side = std::min({templ.cols, templ.rows, input.cols, input.rows});
    while (reductions < settings.maximumReductions && (side >> (reductions + 1)) >= settings.minimumLevelSide)
        ++reductions;
    std::vector<cv::Mat> templates{toFloat(templ)}, inputs{toFloat(input)};
    for (int l = 1; l <= reductions; ++l) {
        cv::Mat t, i;
        cv::pyrDown(templates.back(), t);
        cv::pyrDown(inputs.back(), i);
        templates.push_back(t);
        inputs.push_back(i);
    }
    // Level l sees pixel x of the full image at x / 2^l (the reduction keeps pixel 2i as pixel i).
    const double f = std::ldexp(1.0, reductions);
    const cv::Matx33d down(1 / f, 0, 0, 0, 1 / f, 0, 0, 0, 1), up(f, 0, 0, 0, f, 0, 0, 0, 1);
    cv::Matx33d W = down * (start * (1.0 / start(2, 2))) * up;
    const cv::Matx33d half(0.5, 0, 0, 0, 0.5, 0, 0, 0, 1), twice(2, 0, 0, 0, 2, 0, 0, 0, 1);
    for (int l = reductions; l >= 0; --l) {
        Level level = prepareLevel(templates[size_t(l)], inputs[size_t(l)], settings.gaussianSize);
        // The coarsest level does the bulk of the work, even when it is the full-size one.
        const int limit = l == reductions ? settings.coarseIterations
                                          : (l == 0 ? settings.fullIterations : settings.middleIterations);
        const LevelOutcome o =
            iterateLevel(level, W, limit, l == 0 ? 4 : (l == reductions ? 1 : 2), l > 0, settings);
        if (!o.error.isEmpty()) {
            result.error = o.error;
            return result;
        }
        if (l == 0) {
            result.fullSizeIterations = o.iterations;
            result.converged = o.converged;
            result.correlation = o.correlation;
        } else {
            result.reducedIterations += o.iterations;
            W = twice * W * half;
        }
    }
    W *= 1.0 / W(2, 2);
    result.inputFromTemplate = W;
    result.ok = true;
    return result;
}

}  // namespace refl
