#include "reference_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "KernelDensity.h"

namespace scalesum::testing {

bool ReferenceTree::insert(int clade, int candidate) {
  if (taxa[candidate].size() == 1) return false;
  if (taxa[clade].size() > taxa[candidate].size()) return false;
  for (int32_t id : taxa[clade]) {
    if (std::find(taxa[candidate].begin(), taxa[candidate].end(), id) == taxa[candidate].end()) {
      return false;
    }
  }
  for (int child : children[candidate]) {
    if (insert(clade, child)) return true;
  }
  parent[clade] = candidate;
  children[candidate].push_back(clade);
  return true;
}

void ReferenceTree::build(int taxonCount) {
  const int n = static_cast<int>(taxa.size());
  parent.assign(n, -1);
  children.assign(n, {});
  root = 0;
  while (static_cast<int>(taxa[root].size()) != taxonCount) ++root;
  std::vector<int> pool;
  for (int j = 0; j < n; ++j) {
    if (j != root) pool.push_back(j);
  }
  std::stable_sort(pool.begin(), pool.end(),
                   [&](int a, int b) { return taxa[a].size() > taxa[b].size(); });
  for (int clade : pool) insert(clade, root);
}

namespace {

bool blank(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

int32_t integer(const std::string& text) {
  const long value = std::strtol(text.c_str(), nullptr, 10);
  return static_cast<int32_t>(std::clamp<long>(value, INT32_MIN, INT32_MAX));
}

double real(const std::string& text) {
  return std::strtod(text.c_str(), nullptr);
}

bool startsWithInteger(const std::string& text) {
  const size_t at = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
  return at < text.size() && text[at] >= '0' && text[at] <= '9';
}

std::string format(const char* pattern, double value) {
  char text[512];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

// The four statistics of a series, as the report prints them.
std::string statistics(std::vector<double> values) {
  const auto n = static_cast<int32_t>(values.size());
  const auto numbers =
      std::stable_partition(values.begin(), values.end(), [](double v) { return !std::isnan(v); });
  std::sort(values.begin(), numbers);
  double sum = 0.0;
  for (double v : values) sum += v;
  const double mean = sum / n;
  double squares = 0.0;
  for (double v : values) squares += (v - mean) * (v - mean);
  const double sd = std::sqrt((1.0 / (n - 1)) * squares);
  const size_t m = values.size() / 2;
  const double median = n % 2 == 1 ? values[m] : (values[m - 1] + values[m]) * 0.5;
  // The mode search is the density module's own business; its reference loop stands in here.
  DensitySummary summary = createDensitySummary(n, values.data());
  applyRobustBandwidth(summary);
  const double mode = findDensityModeReference(summary);
  return format("%f\t", mean) + format("%f\t", mode) + format("%f\t", median) + format("%f\t", sd);
}

}  // namespace

std::vector<std::string> referenceWords(const std::string& line) {
  std::vector<std::string> result;
  for (size_t at = 0; at < line.size();) {
    while (at < line.size() && blank(line[at])) ++at;
    const size_t start = at;
    while (at < line.size() && !blank(line[at])) ++at;
    if (at > start) result.push_back(line.substr(start, at - start));
  }
  return result;
}

std::optional<std::string> referenceReport(const std::string& log, int32_t burnIn) {
  // Lines end at LF; a CR may only stand in the line-end whitespace; a NUL never; the last line
  // needs its LF unless it is blank.
  std::vector<std::string> lines;
  for (size_t at = 0; at < log.size();) {
    const size_t end = std::min(log.find('\n', at), log.size());
    std::string line = log.substr(at, end - at);
    const bool ended = end < log.size();
    at = end + 1;
    if (line.find('\0') != std::string::npos) return std::nullopt;
    const size_t cr = line.find('\r');
    if (cr != std::string::npos && !referenceWords(line.substr(cr)).empty()) return std::nullopt;
    if (!ended && !referenceWords(line).empty()) return std::nullopt;
    lines.push_back(line);
  }
  size_t next = 0;
  auto take = [&]() -> const std::string* {
    return next < lines.size() ? &lines[next++] : nullptr;
  };

  const std::string* line = take();
  if (line == nullptr) return std::nullopt;
  const int32_t taxonCount = integer(*line);
  if (taxonCount < 1) return std::nullopt;
  std::vector<std::pair<int32_t, std::string>> taxa;
  for (int32_t i = 0; i < taxonCount; ++i) {
    if ((line = take()) == nullptr) return std::nullopt;
    const auto fields = referenceWords(*line);
    if (fields.size() != 2) return std::nullopt;
    taxa.emplace_back(integer(fields[0]), fields[1]);
  }
  if ((line = take()) == nullptr) return std::nullopt;
  const int32_t nodeCount = integer(*line);
  if (nodeCount < 0) return std::nullopt;
  std::vector<int32_t> ids;
  std::vector<double> logged;
  ReferenceTree tree;
  for (int32_t j = 0; j < nodeCount; ++j) {
    if ((line = take()) == nullptr) return std::nullopt;
    const auto fields = referenceWords(*line);
    if (fields.size() < 3 || !startsWithInteger(fields[2])) return std::nullopt;
    const int32_t listed = integer(fields[2]);
    if (listed < 0 || fields.size() - 3 < static_cast<size_t>(listed)) return std::nullopt;
    ids.push_back(integer(fields[0]));
    logged.push_back(real(fields[1]));
    tree.taxa.emplace_back();
    for (int32_t k = 0; k < listed; ++k) tree.taxa.back().push_back(integer(fields[3 + k]));
  }
  if (take() == nullptr) return std::nullopt;  // the header line

  // The tree: a root, every taxon known, every clade placed.
  if (std::none_of(tree.taxa.begin(), tree.taxa.end(),
                   [&](const auto& clade) { return clade.size() == size_t(taxonCount); })) {
    return std::nullopt;
  }
  tree.build(taxonCount);
  auto nameOf = [&](int32_t id) -> const std::string* {
    for (const auto& [taxon, name] : taxa) {
      if (taxon == id) return &name;
    }
    return nullptr;
  };
  for (size_t j = 0; j < ids.size(); ++j) {
    for (int32_t taxon : tree.taxa[j]) {
      if (nameOf(taxon) == nullptr) return std::nullopt;
    }
    if (int(j) != tree.root && tree.parent[j] < 0) return std::nullopt;
  }
  // Each position of the table shows the first node with its id in pre-order.
  std::vector<int> preorder;
  for (std::vector<int> pending{tree.root}; !pending.empty();) {
    const int node = pending.back();
    pending.pop_back();
    preorder.push_back(node);
    pending.insert(pending.end(), tree.children[node].rbegin(), tree.children[node].rend());
  }
  auto byId = [&](int32_t id) {
    for (int node : preorder) {
      if (ids[node] == id) return node;
    }
    return -1;
  };
  std::vector<int> shown;
  for (int32_t id : ids) shown.push_back(byId(id));
  std::vector<double> original = logged;
  original[tree.root] = 0.0;

  // The samples.
  std::vector<std::vector<double>> history(ids.size());
  std::vector<double> sigma;
  std::vector<int32_t> changed(ids.size(), 0);
  while ((line = take()) != nullptr) {
    const auto fields = referenceWords(*line);
    if (fields.size() < 2 || integer(fields[0]) < burnIn) continue;
    if (fields.size() < 7 || !startsWithInteger(fields[3])) {
      return std::nullopt;
    }
    const int32_t groups = integer(fields[3]);
    if (groups < 0 || fields.size() < 7 + 4 * uint64_t(groups)) return std::nullopt;
    std::vector<double> length(ids.size());
    for (size_t j = 0; j < ids.size(); ++j) length[shown[j]] = original[j];
    for (int32_t g = 0; g < groups; ++g) {
      const size_t at = 7 + 4 * size_t(g);
      const int node = byId(integer(fields[at]));
      if (node < 0 || node == tree.root) return std::nullopt;
      const double scalar = real(fields[at + 1]);
      length[node] *= scalar;
      if (fields[at + 3] != "Node") continue;
      for (std::vector<int> pending = tree.children[node]; !pending.empty();) {
        const int below = pending.back();
        pending.pop_back();
        length[below] *= scalar;
        pending.insert(pending.end(), tree.children[below].begin(), tree.children[below].end());
      }
    }
    sigma.push_back(real(fields[5]));
    for (size_t j = 0; j < ids.size(); ++j) {
      history[j].push_back(length[shown[j]]);
      if (length[shown[j]] != original[j]) ++changed[j];
    }
  }
  if (sigma.empty()) return std::nullopt;

  // The report. A node at two positions keeps the logged length of the later one.
  std::vector<double> final(ids.size());
  for (size_t j = 0; j < ids.size(); ++j) final[shown[j]] = original[j];
  std::string report =
      "Node ID\tNo Taxa\tOriginal BL\tNo different from original\tPct time scaled\t"
      "Mean Scalar\tMode Scalar\tMedian Scalar\tSD Scalar\tMean SigV\tMode SigV\tMedian SigV\t"
      "SD SigV\tMean DeltaB\tMode DeltaB\tMedian DeltaB\tSD DeltaB\tMean DeltaV\tMode DeltaV\t"
      "Median DeltaV\tSD DeltaV\tTaxa List\t\n";
  for (size_t j = 0; j < ids.size(); ++j) {
    const int node = shown[j];
    const double length = final[node];
    report += std::to_string(ids[node]) + "\t" + std::to_string(tree.taxa[node].size()) + "\t" +
              format("%f\t", length) + std::to_string(changed[j]) + "\t" +
              format("%f\t", double(changed[j]) / double(sigma.size()) * 100.0);
    if (length == 0.0) {
      for (int k = 0; k < 16; ++k) report += "0.0\t";
    } else {
      std::vector<double> scalar, sigV, deltaB, deltaV;
      for (size_t i = 0; i < sigma.size(); ++i) {
        scalar.push_back(history[j][i] / length);
        sigV.push_back((history[j][i] / length) * sigma[i]);
        deltaB.push_back(sigma[i] * length);
        deltaV.push_back(((history[j][i] / length) * sigma[i]) * length);
      }
      report += statistics(scalar) + statistics(sigV) + statistics(deltaB) + statistics(deltaV);
    }
    std::vector<std::string> names;
    for (int32_t taxon : tree.taxa[node]) names.push_back(*nameOf(taxon));
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
      return std::strcmp(a.c_str(), b.c_str()) < 0;
    });
    for (size_t k = 0; k < names.size(); ++k) report += (k > 0 ? "," : "") + names[k];
    report += "\t\n";
  }
  return report + "\n\n\n\n";
}

std::optional<int32_t> referenceBurnIn(const std::string& options) {
  int32_t burnIn = 0;
  std::string line;
  for (size_t at = 0; at <= options.size(); ++at) {
    const char c = at < options.size() ? options[at] : '\n';
    if (c == '\r' && at + 1 < options.size() && options[at + 1] == '\n') continue;
    if (c != '\r' && c != '\n' && c != '\0') {
      line += c;
      continue;
    }
    auto fields = referenceWords(line);
    line.clear();
    if (fields.empty()) continue;
    for (char& letter : fields[0]) letter = char(std::toupper(static_cast<unsigned char>(letter)));
    if (fields[0] == "IT") {
      if (fields.size() < 2) return std::nullopt;
      burnIn = integer(fields[1]);
    }
  }
  return burnIn;
}

}  // namespace scalesum::testing
