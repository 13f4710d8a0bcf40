#include "reference_report.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>

#include "KernelDensity.h"
#include "tree.h"

namespace scalesum::testing {

namespace {

// The clade placement as first written: every candidate's taxa scanned for every taxon. Clade j
// lists taxa[j]; build() takes the first clade of `taxonCount` taxa (one must exist) as the root,
// offers it every other clade, largest first, and sets parent (-1 for none) and children.
struct ReferenceTree {
  std::vector<std::vector<int32_t>> taxa;
  int root = -1;
  std::vector<int> parent;
  std::vector<std::vector<int>> children;

  bool insert(int clade, int candidate);
  void build(int taxonCount);
};

bool ReferenceTree::insert(int clade, int candidate) {
  if (taxa[candidate].size() == 1 || taxa[clade].size() > taxa[candidate].size()) return false;
  for (int32_t id : taxa[clade]) {
    if (std::find(taxa[candidate].begin(), taxa[candidate].end(), id) == taxa[candidate].end()) {
      return false;
    }
  }
  if (std::none_of(children[candidate].begin(), children[candidate].end(),
                   [&](int child) { return insert(clade, child); })) {
    parent[clade] = candidate;
    children[candidate].push_back(clade);
  }
  return true;
}

void ReferenceTree::build(int taxonCount) {
  std::vector<int> pool(taxa.size());
  for (size_t j = 0; j < taxa.size(); ++j) pool[j] = int(j);
  std::stable_sort(pool.begin(), pool.end(),
                   [&](int a, int b) { return taxa[a].size() > taxa[b].size(); });
  parent.assign(taxa.size(), -1);
  children.assign(taxa.size(), {});
  for (root = 0; taxa[root].size() != size_t(taxonCount);) ++root;
  for (int clade : pool) {
    if (clade != root) insert(clade, root);
  }
}

std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> result;
  auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  for (auto at = line.begin(); at != line.end();) {
    const auto start = std::find_if_not(at, line.end(), blank);
    at = std::find_if(start, line.end(), blank);
    if (at != start) result.emplace_back(start, at);
  }
  return result;
}

int32_t integer(const std::string& text) {
  return int32_t(std::clamp<long>(std::strtol(text.c_str(), nullptr, 10), INT32_MIN, INT32_MAX));
}

bool startsWithInteger(const std::string& text) {
  return std::isdigit(static_cast<unsigned char>(text[text[0] == '+' || text[0] == '-']));
}

std::string cell(double value) {
  char text[512];
  std::snprintf(text, sizeof text, "%f\t", value);
  return text;
}

// The four statistics of a series, as the report prints them.
std::string statistics(std::vector<double> values) {
  const auto n = int32_t(values.size());
  // Ascending, -0 before +0.
  std::sort(
      values.begin(),
      std::stable_partition(values.begin(), values.end(), [](double v) { return !std::isnan(v); }),
      [](double a, double b) { return a < b || (a == b && std::signbit(a) && !std::signbit(b)); });
  double sum = 0.0, squares = 0.0;
  for (double v : values) sum += v;
  for (double v : values) squares += (v - sum / n) * (v - sum / n);
  const size_t m = values.size() / 2;
  DensitySummary summary = createDensitySummary(n, values.data());
  applyRobustBandwidth(summary);
  return cell(sum / n) + cell(findDensityModeReference(summary)) +
         cell(n % 2 == 1 ? values[m] : (values[m - 1] + values[m]) * 0.5) +
         cell(std::sqrt((1.0 / (n - 1)) * squares));
}

}  // namespace

std::string treeMismatch(const Tree& built) {
  ReferenceTree tree;
  std::map<const Node*, int> indexOf{{nullptr, -1}};
  for (const auto& node : built.nodeStore) {
    indexOf[node.get()] = int(tree.taxa.size());
    tree.taxa.push_back(node->taxonIds);
  }
  tree.build(built.taxonCount);
  if (built.root != built.nodeStore[size_t(tree.root)].get()) return "the root";
  for (size_t j = 0; j < tree.taxa.size(); ++j) {
    const Node& node = *built.nodeStore[j];
    std::vector<int> children;
    for (const Node* child : node.children) children.push_back(indexOf[child]);
    const Node* shown = built.nodes[j];
    if (indexOf[node.parent] != tree.parent[j] || children != tree.children[j] ||
        shown != findNodeInSubtree(built.root, built.nodeIds[j]) ||
        shown != findNodeById(built, shown->id)) {
      return "node " + std::to_string(j);
    }
  }
  return "";
}

std::optional<ReferenceRun> referenceRun(const std::string& log, int32_t burnIn) {
  // Lines end at LF; a CR may only stand in the line-end whitespace; a NUL never; the last line
  // needs its LF unless it is blank.
  std::vector<std::vector<std::string>> lines;
  for (size_t at = 0; at < log.size();) {
    const size_t end = std::min(log.find('\n', at), log.size());
    const std::string line = log.substr(at, end - at);
    if (line.find('\0') != std::string::npos ||
        !words(line.substr(std::min(line.find('\r'), line.size()))).empty() ||
        (end == log.size() && !words(line).empty())) {
      return std::nullopt;
    }
    lines.push_back(words(line));
    at = end + 1;
  }
  size_t next = 0;
  auto take = [&]() { return next < lines.size() ? &lines[next++] : nullptr; };
  const std::vector<std::string>* line = take();
  const int32_t taxonCount = line && !line->empty() ? integer((*line)[0]) : 0;
  std::map<int32_t, std::string> names;
  for (int32_t i = 0; i < taxonCount; ++i) {
    if ((line = take()) == nullptr || line->size() != 2) return std::nullopt;
    names.emplace(integer((*line)[0]), (*line)[1]);  // the first taxon with an id counts
  }
  if ((line = take()) == nullptr || taxonCount < 1) return std::nullopt;
  const int32_t nodeCount = line->empty() ? 0 : integer((*line)[0]);
  std::vector<int32_t> ids;
  std::vector<double> original;
  ReferenceTree tree;
  for (int32_t j = 0; j < nodeCount; ++j) {
    if ((line = take()) == nullptr || line->size() < 3 || !startsWithInteger((*line)[2]) ||
        integer((*line)[2]) < 0 || line->size() - 3 < size_t(integer((*line)[2]))) {
      return std::nullopt;
    }
    ids.push_back(integer((*line)[0]));
    original.push_back(std::strtod((*line)[1].c_str(), nullptr));
    tree.taxa.emplace_back();
    for (int32_t k = 0; k < integer((*line)[2]); ++k)
      tree.taxa.back().push_back(integer((*line)[3 + size_t(k)]));
  }
  // The header line, a root, every taxon known, every clade placed.
  if (nodeCount < 0 || take() == nullptr ||
      std::none_of(tree.taxa.begin(), tree.taxa.end(),
                   [&](const auto& clade) { return clade.size() == size_t(taxonCount); })) {
    return std::nullopt;
  }
  tree.build(taxonCount);
  for (size_t j = 0; j < ids.size(); ++j) {
    for (int32_t taxon : tree.taxa[j]) {
      if (names.count(taxon) == 0) return std::nullopt;
    }
    if (int(j) != tree.root && tree.parent[j] < 0) return std::nullopt;
  }
  original[size_t(tree.root)] = 0.0;
  // Each position of the table shows the first node with its id in pre-order.
  std::map<int32_t, int> firstWithId;
  std::function<void(int)> visit = [&](int node) {
    firstWithId.emplace(ids[size_t(node)], node);
    for (int child : tree.children[node]) visit(child);
  };
  visit(tree.root);

  // Each position's logged length, at the node shown there; a node at two positions keeps the
  // logged length of the later one.
  std::vector<double> logged(ids.size());
  for (size_t j = 0; j < ids.size(); ++j) logged[size_t(firstWithId[ids[j]])] = original[j];
  ReferenceRun run;
  run.rows.resize(ids.size());
  while ((line = take()) != nullptr) {
    const std::vector<std::string>& fields = *line;
    if (fields.size() < 2 || integer(fields[0]) < burnIn) continue;
    if (fields.size() < 7 || !startsWithInteger(fields[3])) return std::nullopt;
    const int32_t groups = integer(fields[3]);
    if (groups < 0 || fields.size() < 7 + 4 * uint64_t(groups)) return std::nullopt;
    std::vector<double> length = logged;
    for (size_t at = 7; at < 7 + 4 * size_t(groups); at += 4) {
      const auto found = firstWithId.find(integer(fields[at]));
      if (found == firstWithId.end() || found->second == tree.root) return std::nullopt;
      const double scalar = std::strtod(fields[at + 1].c_str(), nullptr);
      std::function<void(int)> scale = [&](int node) {
        length[size_t(node)] *= scalar;
        for (int child : tree.children[node]) scale(child);
      };
      fields[at + 3] == "Node" ? scale(found->second)
                               : void(length[size_t(found->second)] *= scalar);
    }
    run.sigma.push_back(std::strtod(fields[5].c_str(), nullptr));
    for (size_t j = 0; j < ids.size(); ++j) {
      run.rows[j].history.push_back(length[size_t(firstWithId[ids[j]])]);
      run.rows[j].changed += run.rows[j].history.back() != original[j];
    }
  }
  if (run.sigma.empty()) return std::nullopt;
  for (size_t j = 0; j < ids.size(); ++j) {
    const size_t node = size_t(firstWithId[ids[j]]);
    std::vector<std::string> taxa;
    for (int32_t taxon : tree.taxa[node]) taxa.push_back(names[taxon]);
    std::sort(taxa.begin(), taxa.end(), [](const std::string& a, const std::string& b) {
      return std::strcmp(a.c_str(), b.c_str()) < 0;
    });
    ReferenceRun::Row& row = run.rows[j];
    std::tie(row.id, row.taxonCount, row.length) = std::tuple(ids[node], taxa.size(), logged[node]);
    for (const std::string& name : taxa) row.taxa += (row.taxa.empty() ? "" : ",") + name;
  }
  return run;
}

std::optional<std::string> referenceReport(const std::string& log, int32_t burnIn) {
  const auto run = referenceRun(log, burnIn);
  if (!run) return std::nullopt;
  std::string report =
      "Node ID\tNo Taxa\tOriginal BL\tNo different from original\tPct time scaled\t"
      "Mean Scalar\tMode Scalar\tMedian Scalar\tSD Scalar\tMean SigV\tMode SigV\tMedian SigV\t"
      "SD SigV\tMean DeltaB\tMode DeltaB\tMedian DeltaB\tSD DeltaB\tMean DeltaV\tMode DeltaV\t"
      "Median DeltaV\tSD DeltaV\tTaxa List\t\n";
  for (const ReferenceRun::Row& row : run->rows) {
    const std::vector<double>& sigma = run->sigma;
    report += std::to_string(row.id) + "\t" + std::to_string(row.taxonCount) + "\t" +
              cell(row.length) + std::to_string(row.changed) + "\t" +
              cell(double(row.changed) / double(sigma.size()) * 100.0);
    std::vector<double> series[4];
    for (size_t i = 0; i < sigma.size(); ++i) {
      series[0].push_back(row.history[i] / row.length);
      series[1].push_back((row.history[i] / row.length) * sigma[i]);
      series[2].push_back(sigma[i] * row.length);
      series[3].push_back(((row.history[i] / row.length) * sigma[i]) * row.length);
    }
    for (const std::vector<double>& values : series) {
      report += row.length == 0.0 ? "0.0\t0.0\t0.0\t0.0\t" : statistics(values);
    }
    report += row.taxa + "\t\n";
  }
  return report + "\n\n\n\n";
}

std::optional<int32_t> referenceBurnIn(const std::string& options) {
  int32_t burnIn = 0;
  std::string line;
  for (size_t at = 0; at <= options.size(); ++at) {
    const char c = at < options.size() ? options[at] : '\n';
    if (c != '\r' && c != '\n' && c != '\0') {
      line += c;
    } else if (c != '\r' || at + 1 == options.size() || options[at + 1] != '\n') {
      const auto fields = words(line);
      line.clear();
      if (fields.empty() ||
          (fields[0] != "IT" && fields[0] != "It" && fields[0] != "iT" && fields[0] != "it"))
        continue;
      if (fields.size() < 2) return std::nullopt;
      burnIn = integer(fields[1]);
    }
  }
  return burnIn;
}

}  // namespace scalesum::testing
