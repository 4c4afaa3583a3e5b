#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "lodestra_core/format.hpp"
#include "lodestra_core/panic.hpp"
#include "lodestra_core/simd.hpp"
#include "lodestra_core/threads.hpp"
#include "lodestra_fields/grid.hpp"
#include "lodestra_solver/ch_2d.hpp"
#include "lodestra_solver/spectral2d.hpp"

namespace lodestra_solver {

// Abramowitz and Stegun 9.8.1, 9.8.5 and 9.8.6, each polynomial summed term by term in
// increasing powers, the powers built by repeated multiplication:
//   0 < x <= 2:  K0 = P(h) - ln(h) I0(t),  h = x/2, t = x/3.75
//   x > 2:       K0 = (exp(-x)/sqrt(x)) W(2/x)
// x <= 0 gives +inf; NaN falls through to the last branch and stays NaN.
double bessel_k0(double x) {
  if (x <= 0.0) return std::numeric_limits<double>::infinity();
  if (x <= 2.0) {
    const double h = x / 2.0;
    const double t = x / 3.75;
    const double t2 = t * t;
    const double t4 = t2 * t2;
    const double t6 = t4 * t2;
    const double t8 = t6 * t2;
    const double t10 = t8 * t2;
    const double t12 = t10 * t2;
    const double i0 = 1.0 + 3.5156229 * t2 + 3.0899424 * t4 + 1.2067492 * t6 + 0.2659732 * t8 +
                      0.0360768 * t10 + 0.0045813 * t12;
    const double h2 = h * h;
    const double h4 = h2 * h2;
    const double h6 = h4 * h2;
    const double h8 = h6 * h2;
    const double h10 = h8 * h2;
    const double h12 = h10 * h2;
    const double p = -0.57721566 + 0.4227842 * h2 + 0.23069756 * h4 + 0.0348859 * h6 +
                     0.00262698 * h8 + 0.0001075 * h10 + 7.4e-06 * h12;
    return p - std::log(h) * i0;
  }
  const double w = 2.0 / x;
  const double w2 = w * w;
  const double w3 = w2 * w;
  const double w4 = w3 * w;
  const double w5 = w4 * w;
  const double w6 = w5 * w;
  const double poly = 1.25331414 - 0.07832358 * w + 0.02189568 * w2 - 0.01062446 * w3 +
                      0.00587872 * w4 - 0.0025154 * w5 + 0.00053208 * w6;
  return (std::exp(-x) / std::sqrt(x)) * poly;
}

namespace {

// ceil(q) as a signed count, saturating beyond the 64-bit range, NaN giving 0.
std::int64_t ceil_saturating(double q) {
  const double c = std::ceil(q);
  if (std::isnan(c)) return 0;
  if (c >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (c < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(c);
}

// The window sum of output row i: for each offset (a outer, b inner) one kernel term
// over the row's 2 ny contiguous doubles (both components of every vertex), the periodic
// wrap in y splitting the shifted source row into two contiguous runs. The whole row is
// one function so that the per-instruction-set clone is chosen once per row.
struct Window {
  Count r;                    // half-width R
  const double* kernel;       // (2R)^2 kernel values, a-major
  const unsigned char* used;  // 0 for the skipped offset (0, 0)
};

LODESTRA_SIMD_CLONES
void window_row(double* __restrict s, const double* __restrict q, Count i, Count nx, Count ny,
                const Window& w) {
  const Count width = 2 * w.r;
  const Count row_len = 2 * ny;
  for (Count ia = 0; ia < width; ++ia) {
    // (i + a) mod nx with a = ia - R; R <= nx/2 keeps i + nx - R + ia non-negative.
    const double* q_row = q + ((i + nx - w.r + ia) % nx) * row_len;
    for (Count ib = 0; ib < width; ++ib) {
      if (!w.used[ia * width + ib]) continue;
      const double k = w.kernel[ia * width + ib];
      // Output j reads source j + b mod ny: from shift = 2 ((b mod ny)) to the row's end,
      // then from its start.
      const Count shift = 2 * ((ny - w.r + ib) % ny);
      const Count first = row_len - shift;
      for (Count t = 0; t < first; ++t) s[t] = s[t] + k * q_row[shift + t];
      for (Count t = 0; t < shift; ++t) s[first + t] = s[first + t] + k * q_row[t];
    }
  }
}

}  // namespace

// Q_lip(i, j) = ((S dx) dx) / (xi (xi 2pi)), S = sum over a = -R .. R-1 (outer),
// b = -R .. R-1 (inner) of K0(r/xi) Q_rot((i + a) mod nx, (j + b) mod ny), r = |(dx a, dx b)|,
// the offset with r < dx/2 (the vertex itself) skipped; R = min(ceil(6 xi / dx), nx/2, ny/2).
//
// Every vertex keeps exactly that summation order; only the loops are interchanged. The
// kernel is tabulated once per call, and for each output row and offset the update runs over
// the row's 2 ny contiguous doubles (both components of every vertex), the periodic wrap
// in y splitting the shifted source row into two contiguous runs.
QField2D k0_convolution(const QField2D& q_rot, const RidiParams& params) {
  const Count nx = q_rot.nx;
  const Count ny = q_rot.ny;
  const double dx = q_rot.dx;
  const double xi = params.xi_l;
  QField2D out = QField2D::zeros(nx, ny, dx);

  std::int64_t r_win = ceil_saturating((6.0 * xi) / dx);
  r_win = std::min(r_win, static_cast<std::int64_t>(nx / 2));
  r_win = std::min(r_win, static_cast<std::int64_t>(ny / 2));
  if (nx < 1 || ny < 1) return out;
  if (q_rot.data.size() != out.data.size()) {
    lodestra_core::panic("QField2D holds " + lodestra_core::fmt_int(q_rot.data.size()) +
                         " values, its grid needs " + lodestra_core::fmt_int(out.data.size()));
  }

  const double norm = xi * (xi * kTwoPi);
  if (r_win <= 0) {
    const double value = (dx * (dx * 0.0)) / norm;
    for (double& v : out.data) v = value;
    return out;
  }

  const Count r = static_cast<Count>(r_win);
  const Count width = 2 * r;
  std::vector<double> kernel(width * width);
  std::vector<unsigned char> used(width * width);
  for (Count ia = 0; ia < width; ++ia) {
    const double a = static_cast<double>(static_cast<std::int64_t>(ia) - r_win);
    for (Count ib = 0; ib < width; ++ib) {
      const double b = static_cast<double>(static_cast<std::int64_t>(ib) - r_win);
      const double rr = std::sqrt((dx * a) * (dx * a) + (dx * b) * (dx * b));
      const bool skip = rr < dx * 0.5;
      used[ia * width + ib] = skip ? 0 : 1;
      kernel[ia * width + ib] = skip ? 0.0 : bessel_k0(rr / xi);
    }
  }

  const Window window{r, kernel.data(), used.data()};
  const Count row_len = 2 * ny;
  // Output rows are independent: threads share them.
  lodestra_core::parallel_for(0, nx, lodestra_core::grain_for(row_len * width * width),
                              [&](Count i0, Count i1) {
                                for (Count i = i0; i < i1; ++i) {
                                  double* s = out.data.data() + i * row_len;
                                  window_row(s, q_rot.data.data(), i, nx, ny, window);
                                  for (Count t = 0; t < row_len; ++t)
                                    s[t] = ((s[t] * dx) * dx) / norm;
                                }
                              });
  return out;
}

}  // namespace lodestra_solver
