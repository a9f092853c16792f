#include "exam_sim.h"

#include <algorithm>
#include <cmath>

#include "seeded_draw.h"

namespace omr::exam::testing {

SimulatedExam SimulateExam(const SimulationPlan& plan) {
  SimulatedExam out;
  Draw draw(plan.seed);
  const int k = plan.items;
  const int nopt = static_cast<int>(plan.options.size());
  std::vector<char> truth(k);
  std::vector<double> a(k), b(k);
  const bool plant = plan.plant && k >= 11;
  for (int i = 0; i < k; ++i) {
    AnalysisItem item;
    item.master = i + 1;
    item.maximum = i % 4 == 1 ? 2.0 : 1.0;
    item.options = plan.options;
    truth[i] = plan.options[draw.Below(nopt)];
    item.keyed = std::string(1, truth[i]);
    // The accepted option is one a wrong answer may pick: right by luck.
    if (item.master == plan.acceptItem) item.keyed += plan.options[(plan.options.find(truth[i]) + 1) % nopt];
    a[i] = draw.Uniform(0.8, 1.6);
    b[i] = draw.Uniform(-1.2, 0.6);
    item.isVoid = item.master == plan.voidItem;
    item.bonus = item.master == plan.bonusItem;
    out.input.items.push_back(item);
  }
  if (plant) {
    // The key names a distractor; the students still know the right answer.
    AnalysisItem& wrong = out.input.items[2];
    wrong.keyed = std::string(1, plan.options[(plan.options.find(truth[2]) + 1) % nopt]);
    a[2] = 1.6, b[2] = -0.3;
    a[6] = -1.5, b[6] = 0.0;
    a[10] = 1.5, b[10] = -4.0;
    out.wrongKey = {3};
    out.negative = {7};
    out.easy = {11};
  }
  out.input.versions = plan.versions;

  for (int s = 0; s < plan.sheets; ++s) {
    AnalysisSheet sheet;
    sheet.number = 1000 + s;
    sheet.version = plan.versions.empty() ? std::string() : plan.versions[s % plan.versions.size()];
    const double theta = draw.Normal();
    for (int i = 0; i < k; ++i) {
      const AnalysisItem& item = out.input.items[i];
      std::string marked;
      const double u = draw.Uniform();
      const bool easy = plant && i == 10;
      if (u < (easy ? plan.blankRate / 4 : plan.blankRate)) {
        marked = "";
      } else if (u < (easy ? plan.blankRate / 4 : plan.blankRate) + plan.multipleRate) {
        marked = std::string(1, truth[i]) +
                 plan.options[(plan.options.find(truth[i]) + 1 + draw.Below(nopt - 1)) % nopt];
      } else {
        // Three-parameter logistic: a guess finds the answer one time in `nopt`.
        const double guess = 1.0 / nopt;
        const double right = guess + (1 - guess) / (1.0 + std::exp(-1.7 * a[i] * (theta - b[i])));
        if (draw.Uniform() < right) {
          marked = std::string(1, truth[i]);
        } else {
          marked =
              std::string(1, plan.options[(plan.options.find(truth[i]) + 1 + draw.Below(nopt - 1)) % nopt]);
        }
      }
      const bool right =
          item.bonus || (marked.size() == 1 && item.keyed.find(marked[0]) != std::string::npos);
      double points;
      if (item.bonus || right) {
        points = item.maximum;
      } else if (marked.empty() || marked.size() > 1) {
        points = 0;
      } else {
        points = plan.wrong;
      }
      sheet.points.push_back(points);
      sheet.right.push_back(right ? 1.0 : 0.0);
      sheet.marked.push_back(marked);
    }
    if (plan.floor) {
      double sum = 0;
      for (std::size_t i = 0; i < sheet.points.size(); ++i) {
        if (!out.input.items[i].isVoid) sum += sheet.points[i];
      }
      sheet.total = std::max(sum, *plan.floor);
    }
    out.input.sheets.push_back(std::move(sheet));
  }
  return out;
}

}  // namespace omr::exam::testing
