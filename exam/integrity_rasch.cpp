// The dichotomous Rasch model by conditional maximum likelihood: item
// difficulties from the elementary symmetric functions of the item
// easinesses (Newton-Raphson on the conditional likelihood, centred to a
// mean of 0), then person measures by maximum likelihood given those
// difficulties, extreme scores by a natural cubic spline through all others,
// and item fit by mean squares of the standardized residuals.
#include <algorithm>
#include <cmath>

#include "integrity.h"

namespace omr::exam {

namespace {

constexpr int kMaxIterations = 100;
constexpr double kConverged = 1e-10;

// gamma_r of the easinesses e, r = 0 .. size (summation algorithm).
void Symmetric(const std::vector<double>& e, std::size_t skipA, std::size_t skipB, std::vector<double>& g) {
  std::fill(g.begin(), g.end(), 0.0);
  g[0] = 1;
  std::size_t used = 0;
  for (std::size_t i = 0; i < e.size(); ++i) {
    if (i == skipA || i == skipB) continue;
    ++used;
    for (std::size_t r = used; r >= 1; --r) g[r] += e[i] * g[r - 1];
  }
}

// Factors A (symmetric positive definite, n x n, row-major) in place into
// L L' (L in the lower triangle); false when A is not positive definite.
bool Cholesky(std::vector<double>& a, std::size_t n) {
  for (std::size_t j = 0; j < n; ++j) {
    double d = a[j * n + j];
    for (std::size_t k = 0; k < j; ++k) d -= a[j * n + k] * a[j * n + k];
    if (!(d > 0)) return false;
    const double l = std::sqrt(d);
    a[j * n + j] = l;
    for (std::size_t i = j + 1; i < n; ++i) {
      double s = a[i * n + j];
      for (std::size_t k = 0; k < j; ++k) s -= a[i * n + k] * a[j * n + k];
      a[i * n + j] = s / l;
    }
  }
  return true;
}

// Solves L L' x = b in place with the factor Cholesky left in `a`.
void Substitute(const std::vector<double>& a, std::vector<double>& b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    double s = b[i];
    for (std::size_t k = 0; k < i; ++k) s -= a[i * n + k] * b[k];
    b[i] = s / a[i * n + i];
  }
  for (std::size_t i = n; i-- > 0;) {
    double s = b[i];
    for (std::size_t k = i + 1; k < n; ++k) s -= a[k * n + i] * b[k];
    b[i] = s / a[i * n + i];
  }
}

// The inverse, column by column, from the factor.
std::vector<double> InverseFromCholesky(const std::vector<double>& a, std::size_t n) {
  std::vector<double> inv(n * n, 0.0);
  std::vector<double> col(n);
  for (std::size_t c = 0; c < n; ++c) {
    std::fill(col.begin(), col.end(), 0.0);
    col[c] = 1;
    Substitute(a, col, n);
    for (std::size_t i = 0; i < n; ++i) inv[i * n + c] = col[i];
  }
  return inv;
}

// The conditional likelihood's gradient (expected minus observed right
// answers) and information matrix at difficulties `d`.
struct Conditional {
  std::vector<double> gradient;
  std::vector<double> information;  // K x K
};

Conditional Evaluate(const std::vector<double>& d, const std::vector<std::int64_t>& right,
                     const std::vector<std::int64_t>& persons) {
  const std::size_t k = d.size();
  std::vector<double> e(k);
  for (std::size_t i = 0; i < k; ++i) e[i] = std::exp(-d[i]);
  std::vector<double> g(k + 1), gi(k * (k + 1)), gij(k + 1);
  Symmetric(e, k, k, g);
  for (std::size_t i = 0; i < k; ++i) {
    std::vector<double> one(k + 1);
    Symmetric(e, i, k, one);
    std::copy(one.begin(), one.end(), gi.begin() + static_cast<std::ptrdiff_t>(i * (k + 1)));
  }
  // pi[r][i] = e_i gamma^(i)_(r-1) / gamma_r
  std::vector<double> pi((k + 1) * k, 0.0);
  for (std::size_t r = 1; r < k; ++r)
    for (std::size_t i = 0; i < k; ++i) pi[r * k + i] = e[i] * gi[i * (k + 1) + r - 1] / g[r];
  Conditional c;
  c.gradient.assign(k, 0.0);
  c.information.assign(k * k, 0.0);
  for (std::size_t i = 0; i < k; ++i) {
    double expected = 0, info = 0;
    for (std::size_t r = 1; r < k; ++r) {
      const double p = pi[r * k + i];
      expected += static_cast<double>(persons[r]) * p;
      info += static_cast<double>(persons[r]) * p * (1 - p);
    }
    c.gradient[i] = expected - static_cast<double>(right[i]);
    c.information[i * k + i] = info;
  }
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = i + 1; j < k; ++j) {
      // gamma^(i,j) from the two leave-one-out functions where the easinesses
      // are apart, directly where they are close (the difference cancels).
      const double spread = std::fabs(e[i] - e[j]) / std::max(e[i], e[j]);
      if (spread > 1e-4) {
        for (std::size_t r = 0; r + 1 < k; ++r)
          gij[r] = (e[j] * gi[j * (k + 1) + r] - e[i] * gi[i * (k + 1) + r]) / (e[j] - e[i]);
      } else {
        Symmetric(e, i, j, gij);
      }
      double info = 0;
      for (std::size_t r = 2; r < k; ++r) {
        const double both = e[i] * e[j] * gij[r - 2] / g[r];
        info += static_cast<double>(persons[r]) * (both - pi[r * k + i] * pi[r * k + j]);
      }
      c.information[i * k + j] = c.information[j * k + i] = info;
    }
  }
  return c;
}

// The information matrix in the free parameters (the last difficulty is
// minus the sum of the others): W' I W for W = [identity; -1'].
std::vector<double> Reduced(const std::vector<double>& info, std::size_t k) {
  const std::size_t m = k - 1;
  std::vector<double> h(m * m);
  std::vector<double> rowLast(k, 0.0);
  double last = info[(k - 1) * k + (k - 1)];
  for (std::size_t i = 0; i < m; ++i) rowLast[i] = info[i * k + (k - 1)];
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j < m; ++j) h[i * m + j] = info[i * k + j] - rowLast[i] - rowLast[j] + last;
  return h;
}

// theta with sum P_i(theta) = r, and its standard error.
std::pair<double, double> PersonMeasure(const std::vector<double>& d, int r) {
  const double k = static_cast<double>(d.size());
  double theta = std::log(r / (k - r));
  double info = 0;
  for (int it = 0; it < 200; ++it) {
    double expected = 0;
    info = 0;
    for (const double di : d) {
      const double p = 1 / (1 + std::exp(di - theta));
      expected += p;
      info += p * (1 - p);
    }
    const double step = std::clamp((r - expected) / info, -2.0, 2.0);
    theta += step;
    if (std::fabs(step) < 1e-12) break;
  }
  info = 0;
  for (const double di : d) {
    const double p = 1 / (1 + std::exp(di - theta));
    info += p * (1 - p);
  }
  return {theta, 1 / std::sqrt(info)};
}

// A natural cubic spline through (x, y), x increasing, extended by straight
// lines beyond its ends; evaluated at `at`.
double NaturalSpline(const std::vector<double>& x, const std::vector<double>& y, double at) {
  const std::size_t n = x.size();
  if (n == 1) return y[0];
  // Second derivatives: tridiagonal, zero at both ends.
  std::vector<double> m(n, 0.0), c(n, 0.0), z(n, 0.0);
  for (std::size_t i = 1; i + 1 < n; ++i) {
    const double h0 = x[i] - x[i - 1], h1 = x[i + 1] - x[i];
    const double diag = 2 * (h0 + h1) - h0 * c[i - 1];
    c[i] = h1 / diag;
    z[i] = (6 * ((y[i + 1] - y[i]) / h1 - (y[i] - y[i - 1]) / h0) - h0 * z[i - 1]) / diag;
  }
  for (std::size_t i = n - 1; i-- > 1;) m[i] = z[i] - c[i] * m[i + 1];
  if (at <= x[0]) {
    const double h = x[1] - x[0];
    const double slope = (y[1] - y[0]) / h - h * (2 * m[0] + m[1]) / 6;
    return y[0] + slope * (at - x[0]);
  }
  if (at >= x[n - 1]) {
    const double h = x[n - 1] - x[n - 2];
    const double slope = (y[n - 1] - y[n - 2]) / h + h * (m[n - 2] + 2 * m[n - 1]) / 6;
    return y[n - 1] + slope * (at - x[n - 1]);
  }
  std::size_t i = 1;
  while (x[i] < at) ++i;
  const double h = x[i] - x[i - 1], a = (x[i] - at) / h, b = (at - x[i - 1]) / h;
  return a * y[i - 1] + b * y[i] + ((a * a * a - a) * m[i - 1] + (b * b * b - b) * m[i]) * h * h / 6;
}

}  // namespace

RaschResult AnalyzeRasch(const AnalysisInput& in) {
  RaschResult out;
  const std::size_t items = in.items.size(), n = in.sheets.size();
  std::vector<std::uint8_t> right(n * items, 0);
  for (std::size_t s = 0; s < n; ++s)
    for (std::size_t i = 0; i < items; ++i) right[s * items + i] = in.sheets[s].right[i] >= 1 - 1e-9;
  out.items.resize(items);
  std::vector<bool> use(items, false);
  for (std::size_t i = 0; i < items; ++i) {
    const AnalysisItem& item = in.items[i];
    out.items[i].master = item.master;
    if (item.isVoid)
      out.items[i].left = "void";
    else if (item.bonus)
      out.items[i].left = "bonus";
    else
      use[i] = true;
  }
  // Items everyone (whose score is not extreme) got right or wrong carry no
  // information and make others' scores extreme: left out until none is.
  std::vector<int> score(n);
  for (;;) {
    std::size_t k = 0;
    for (std::size_t i = 0; i < items; ++i) k += use[i];
    std::vector<std::int64_t> counts(items, 0);
    std::int64_t persons = 0;
    for (std::size_t s = 0; s < n; ++s) {
      score[s] = 0;
      for (std::size_t i = 0; i < items; ++i) score[s] += use[i] && right[s * items + i];
      if (score[s] == 0 || score[s] == static_cast<int>(k)) continue;
      ++persons;
      for (std::size_t i = 0; i < items; ++i) counts[i] += use[i] && right[s * items + i];
    }
    bool changed = false;
    for (std::size_t i = 0; i < items; ++i) {
      if (!use[i] || (counts[i] > 0 && counts[i] < persons)) continue;
      use[i] = false;
      out.items[i].left = persons == 0     ? "no score between 0 and full"
                          : counts[i] == 0 ? "nobody right"
                                           : "everyone right";
      changed = true;
    }
    if (!changed) break;
  }
  std::vector<std::size_t> index;
  for (std::size_t i = 0; i < items; ++i)
    if (use[i]) index.push_back(i);
  const std::size_t k = index.size();
  if (k < 2) {
    out.why = "fewer than two items with both right and wrong answers";
    return out;
  }
  std::vector<std::int64_t> rightCount(k, 0), persons(k + 1, 0);
  for (std::size_t s = 0; s < n; ++s) {
    ++persons[static_cast<std::size_t>(score[s])];
    if (score[s] == 0 || score[s] == static_cast<int>(k)) continue;
    for (std::size_t j = 0; j < k; ++j) rightCount[j] += right[s * items + index[j]];
  }
  out.persons = static_cast<std::int64_t>(n) - persons[0] - persons[k];
  out.extremePersons = persons[0] + persons[k];

  // Newton-Raphson from the log-odds of the right answers.
  std::vector<double> d(k);
  double mean = 0;
  for (std::size_t j = 0; j < k; ++j) {
    d[j] = std::log(static_cast<double>(out.persons - rightCount[j]) / static_cast<double>(rightCount[j]));
    mean += d[j] / static_cast<double>(k);
  }
  for (double& v : d) v -= mean;
  Conditional c;
  bool converged = false;
  for (int it = 1; it <= kMaxIterations && !converged; ++it) {
    c = Evaluate(d, rightCount, persons);
    std::vector<double> h = Reduced(c.information, k);
    std::vector<double> step(k - 1);
    for (std::size_t j = 0; j + 1 < k; ++j) step[j] = c.gradient[j] - c.gradient[k - 1];
    if (!Cholesky(h, k - 1)) {
      out.why = "the conditional likelihood has no maximum (the answers do not order the items)";
      return out;
    }
    Substitute(h, step, k - 1);
    double last = 0, largest = 0;
    for (std::size_t j = 0; j + 1 < k; ++j) {
      const double s = std::clamp(step[j], -3.0, 3.0);
      d[j] += s;
      last -= s;
      largest = std::max(largest, std::fabs(s));
    }
    d[k - 1] += last;
    out.iterations = it;
    converged = largest < kConverged;
  }
  if (!converged) {
    out.why = "the estimates did not converge";
    return out;
  }
  // Standard errors in the sum-zero parameters: W (W' I W)^-1 W'.
  c = Evaluate(d, rightCount, persons);
  std::vector<double> h = Reduced(c.information, k);
  if (!Cholesky(h, k - 1)) {
    out.why = "the information matrix is singular";
    return out;
  }
  const std::vector<double> cov = InverseFromCholesky(h, k - 1);
  double lastVar = 0;
  for (const double v : cov) lastVar += v;
  for (std::size_t j = 0; j < k; ++j) {
    RaschItem& item = out.items[index[j]];
    item.estimated = true;
    item.right = rightCount[j];
    item.difficulty = d[j];
    item.se = std::sqrt(j + 1 < k ? cov[j * (k - 1) + j] : lastVar);
  }

  // Person measures: every score, the extremes by the spline through all the
  // others (eRm's spline goes through the scores persons have, which puts 0
  // above 1 when the low scores are missing).
  out.scores.resize(k + 1);
  std::vector<double> knotX, knotY;
  for (std::size_t r = 1; r < k; ++r) {
    const auto [theta, se] = PersonMeasure(d, static_cast<int>(r));
    out.scores[r] = {static_cast<int>(r), theta, se, false, persons[r]};
    knotX.push_back(static_cast<double>(r));
    knotY.push_back(theta);
  }
  for (const std::size_t r : {std::size_t{0}, k}) {
    out.scores[r] = {static_cast<int>(r), NaturalSpline(knotX, knotY, static_cast<double>(r)), std::nullopt,
                     true, persons[r]};
  }

  // Fit: residuals of the persons whose score is not extreme, by score group.
  std::vector<double> rightByScore((k + 1) * k, 0.0);
  for (std::size_t s = 0; s < n; ++s) {
    const std::size_t r = static_cast<std::size_t>(score[s]);
    if (r == 0 || r == k) continue;
    for (std::size_t j = 0; j < k; ++j) rightByScore[r * k + j] += right[s * items + index[j]];
  }
  for (std::size_t j = 0; j < k; ++j) {
    double squares = 0, standardized = 0, variance = 0;
    for (std::size_t r = 1; r < k; ++r) {
      if (persons[r] == 0) continue;
      const double p = 1 / (1 + std::exp(d[j] - out.scores[r].measure));
      const double nr = static_cast<double>(persons[r]), sr = rightByScore[r * k + j];
      // sum over the group of (x - p)^2, x being 0 or 1
      const double sq = sr * (1 - 2 * p) + nr * p * p;
      squares += sq;
      standardized += sq / (p * (1 - p));
      variance += nr * p * (1 - p);
    }
    RaschItem& item = out.items[index[j]];
    if (out.persons > 0) item.outfit = standardized / static_cast<double>(out.persons);
    if (variance > 0) item.infit = squares / variance;
  }

  // Test information over the range the items and scores span.
  double lo = -4, hi = 4;
  for (const double v : d) {
    lo = std::min(lo, v - 2);
    hi = std::max(hi, v + 2);
  }
  lo = std::max(lo, -8.0);
  hi = std::min(hi, 8.0);
  constexpr int kPoints = 121;
  for (int i = 0; i < kPoints; ++i) {
    const double theta = lo + (hi - lo) * i / (kPoints - 1);
    double info = 0;
    for (const double v : d) {
      const double p = 1 / (1 + std::exp(v - theta));
      info += p * (1 - p);
    }
    out.information.emplace_back(theta, info);
  }
  out.estimated = true;
  return out;
}

}  // namespace omr::exam
