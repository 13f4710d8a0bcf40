#include "htmlpage.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <unordered_map>

#include "colours.h"
#include "failure.h"
#include "picture.h"
#include "report.h"
#include "statistic.h"

namespace scalesum {

namespace {

// How many series the convergence table shows before its full form.
constexpr size_t kWorstSeries = 20;

// The page's looks, inline so that nothing is fetched.
constexpr const char* kStyle =
    "body{font-family:sans-serif;margin:1.5em;max-width:1300px;color:#222}"
    "h1{font-size:1.5em}h2{font-size:1.2em;margin-top:1.6em;border-bottom:1px solid #ccc}"
    "table{border-collapse:collapse;font-size:0.85em}td,th{padding:2px 8px;text-align:left;"
    "border-bottom:1px solid #eee;vertical-align:middle}th{background:#f4f4f4}"
    "td.n,table.all td{text-align:right;font-variant-numeric:tabular-nums}"
    ".fig{overflow:auto;max-height:900px;border:1px solid #ddd;margin:0.5em 0}"
    ".banner{padding:0.7em 1em;border-radius:4px;margin:1em 0}"
    ".ok{background:#e3f4e3;border:1px solid #3a8a3a}.bad{background:#fbe4e4;border:1px solid "
    "#b03030}.none{background:#eeeeee;border:1px solid #999}"
    ".cols td{vertical-align:top}code{background:#f4f4f4;padding:0 3px}"
    "th[data-sort]{cursor:pointer}";

// Sorting by a column's header, the one thing scripts add; every table reads without it.
constexpr const char* kScript =
    "document.querySelectorAll('table.sortable').forEach(function(t){"
    "t.querySelectorAll('th').forEach(function(th,i){th.dataset.sort='';"
    "th.addEventListener('click',function(){var b=t.tBodies[0],r=Array.from(b.rows),"
    "up=th.dataset.sort!=='up';t.querySelectorAll('th').forEach(function(h){h.dataset.sort=''});"
    "th.dataset.sort=up?'up':'down';r.sort(function(x,y){var a=x.cells[i].textContent,"
    "c=y.cells[i].textContent,p=parseFloat(a),q=parseFloat(c);"
    "var d=(isNaN(p)||isNaN(q))?a.localeCompare(c):p-q;return up?d:-d});"
    "r.forEach(function(x){b.appendChild(x)})})})});";

std::string html(std::string_view text) {
  return xmlText(text);
}

std::string number(const std::optional<double>& value) {
  return value ? shortNumber(*value) : "NA";
}

// A sample size as a whole number, as it is read.
std::string wholeNumber(const std::optional<double>& value) {
  return value && std::isfinite(*value) ? std::to_string(std::llround(*value)) : number(value);
}

// The page writes in one string and hands it to the stream at once.
struct Page {
  std::string out;
  void cell(const std::string& text, bool numeric = false) {
    out += numeric ? "<td class=\"n\">" : "<td>";
    out += text;
    out += "</td>";
  }
};

// A node's taxa: the count, and up to `shown` names in the report's order.
std::string taxaSummary(const Node& node, const std::unordered_map<int32_t, const char*>& names,
                        std::vector<const char*>& sorted, size_t shown) {
  sortTaxonNames(node, names, sorted);
  std::string text = std::to_string(sorted.size()) + (sorted.size() == 1 ? " taxon: " : " taxa: ");
  for (size_t k = 0; k < sorted.size() && k < shown; ++k)
    text += (k > 0 ? ", " : "") + std::string(sorted[k]);
  if (sorted.size() > shown) text += ", …";
  return text;
}

// The worst R-hat of the node's four series; not-a-number where none has one.
double worstRhat(const Tree& tree, const Results& results, size_t position) {
  double worst = NAN;
  for (int s = 0; s < kSeriesCount; ++s) {
    const auto rhat = seriesStatistics(tree, results, position, static_cast<Series>(s)).rhat;
    if (rhat && !(*rhat <= worst)) worst = *rhat;
  }
  return worst;
}

// The tooltip of a branch: what it is, its Scalar, its shares and whether its chains agree.
std::string branchTitle(const Tree& tree, const Results& results, size_t position,
                        const std::string& taxa, const PageContent& page) {
  const SeriesStatistics s = seriesStatistics(tree, results, position, Series::kScalar);
  std::string t = "node " + std::to_string(tree.nodes[position]->id) + ", " + taxa;
  t += "\nScalar mean " + number(s.mean) + ", median " + number(s.median) + ", HPD " +
       number(s.hpdLower) + "–" + number(s.hpdUpper);
  t += "\npct_up " + shortNumber(percentUp(results, position)) + ", pct_down " +
       shortNumber(percentDown(results, position));
  if (!page.bayesFactors.empty()) {
    const BayesFactors& bf = page.bayesFactors[position];
    t += "\nBayes factor changed " + shortNumber(bf.changed) + ", up " + shortNumber(bf.up) +
         ", down " + shortNumber(bf.down);
  }
  t += "\nR-hat " + number(s.rhat) + ", worst series " +
       shortNumber(worstRhat(tree, results, position)) + "; ESS " + wholeNumber(s.ess) + ", bulk " +
       wholeNumber(s.essBulk) + ", tail " + wholeNumber(s.essTail);
  return t;
}

// A tree picture as inline SVG, from the picture writer itself.
std::string pictureText(const Tree& tree, const Results& results, const TreeLayout& layout,
                        const PictureSettings& settings) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* memory = ::open_memstream(&buffer, &size);
  if (memory == nullptr) throw std::bad_alloc();
  writePicture(memory, tree, results, layout, settings);
  std::fclose(memory);
  std::string text(buffer, size);
  std::free(buffer);
  return text;
}

// Returns the settings of the page's pictures before each view's own: the colour statistic,
// node ids and credible share asked for, and every chain's log in the title.
PictureSettings pictureSettings(const PageContent& page) {
  PictureSettings settings{
      page.colorBy, PictureLayout::kRectangular, page.nodeIds, page.crediblePercent, {}};
  for (size_t c = 1; c < page.provenance.chains.size(); ++c) {
    settings.chainPaths.push_back(page.provenance.chains[c].file.path);
  }
  return settings;
}

void treeSection(Page& p, const Tree& tree, const Results& results, const TreeLayout& layout,
                 const PageContent& page, const std::vector<std::string>& titles) {
  p.out += "<h2 id=\"tree\">The tree coloured by rate</h2>\n<p>Branches are coloured by <code>" +
           html(page.colorBy) +
           "</code>. Hover over a branch for its node, taxa, Scalar, shares and convergence.";
  if (layout.tipCount > kPageLabelTips) {
    p.out += " With " + std::to_string(layout.tipCount) +
             " tips, the views leave out tip labels too small to read; the tooltips name each "
             "branch's taxa.";
  }
  p.out += "</p>\n";
  PictureSettings settings = pictureSettings(page);
  settings.inlined = true;
  settings.idPrefix = "rate-";
  settings.branchTitles = &titles;
  p.out += "<div class=\"fig\" id=\"rate-tree\">" + pictureText(tree, results, layout, settings) +
           "</div>\n";
  settings.layout = PictureLayout::kCircular;
  settings.idPrefix = "circular-";
  settings.branchTitles = nullptr;
  p.out += "<details><summary>Circular view</summary><div class=\"fig\">" +
           pictureText(tree, results, layout, settings) + "</div></details>\n";
}

void convergenceMap(Page& p, const Tree& tree, const Results& results, const TreeLayout& layout,
                    const PageContent& page) {
  std::vector<double> worst(tree.nodes.size());
  double highest = 1.1;
  for (size_t i = 0; i < worst.size(); ++i) {
    worst[i] = worstRhat(tree, results, i);
    if (worst[i] > highest) highest = worst[i];
  }
  PictureSettings settings = pictureSettings(page);
  settings.inlined = true;
  settings.idPrefix = "rhat-";
  settings.branchValues = &worst;
  settings.valueScale = {"worst R-hat of the branch's series", false, 1.0, std::min(highest, 2.0)};
  p.out +=
      "<h2 id=\"convergence-map\">The convergence map</h2>\n<p>The same tree, each branch "
      "coloured by the worst R-hat of its four series (Scalar, SigV, DeltaB, DeltaV); dashed "
      "branches have none. Values from 2 up take the scale's end.</p>\n<div class=\"fig\">" +
      pictureText(tree, results, layout, settings) + "</div>\n";
}

void globalColumns(Page& p, const std::vector<ChainColumns>& columns, const PageContent& page) {
  p.out += "<h2 id=\"columns\">Global columns</h2>\n";
  if (columns.empty()) return;
  size_t longest = 0;
  for (const ChainColumns& chain : columns) longest = std::max(longest, chain.iterations.size());
  const size_t stride = traceStride(longest, kMaxTracePoints);
  p.out += "<p>Per column: its trace per chain";
  p.out += stride == 1 ? " (every sample)"
                       : " (one sample in " + std::to_string(stride) + ", at most " +
                             std::to_string(kMaxTracePoints) + " points per chain)";
  p.out +=
      ", the histogram of each chain's ranks among all chains' draws, and each chain's "
      "density. Chains:";
  static constexpr const char* kNames[] = {"blue",   "orange",     "green", "pink",
                                           "yellow", "light blue", "lemon", "grey"};
  for (size_t c = 0; c < columns.size(); ++c) {
    p.out += (c > 0 ? ", " : " ") + std::to_string(c + 1) + " " + kNames[c % 8];
  }
  p.out += ".</p>\n<table class=\"cols\">\n";
  std::vector<std::span<const double>> chains;
  for (int c = 0; c < kGlobalColumnCount; ++c) {
    chains.clear();
    bool notANumber = false;
    for (const ChainColumns& chain : columns) {
      chains.emplace_back(chain.values[static_cast<size_t>(c)]);
      notANumber = notANumber || chain.notANumber[static_cast<size_t>(c)];
    }
    p.out += "<tr><th colspan=\"3\">" + html(columnName(page.fieldNames, c + 1)) +
             (notANumber ? " (not a number in some lines, left out)" : "") + "</th></tr>\n<tr>";
    p.cell(tracePlot(chains));
    p.cell(rankPlot(chains));
    p.cell(densityPlot(chains));
    p.out += "</tr>\n";
  }
  p.out += "</table>\n";
}

void shiftTable(Page& p, const Tree& tree, const Results& results, const PageContent& page,
                const std::vector<std::string>& taxa) {
  p.out +=
      "<h2 id=\"shifts\">Credible shifts</h2>\n<p>Branches whose Scalar is above 1 (up) or "
      "below 1 (down) in at least " +
      shortNumber(page.crediblePercent) +
      "% of the samples. Beside each, the histogram of its log2 Scalar (grey)";
  p.out += page.bayesFactors.empty() ? "" : ", the prior run's as a dashed line";
  p.out +=
      ", and Scalar 1 in red.</p>\n<table class=\"sortable\" id=\"shift-table\"><thead><tr>"
      "<th>node</th><th>taxa</th><th>direction</th><th>share %</th><th>Bayes factor</th>"
      "<th>Scalar HPD</th><th>log2 Scalar</th></tr></thead><tbody>\n";
  std::unordered_map<size_t, const ShiftDensity*> densities;
  for (const ShiftDensity& d : page.shiftDensities) densities.emplace(d.position, &d);
  int rows = 0;
  for (size_t i = 0; i < tree.nodes.size(); ++i) {
    const int shift = credibleShift(results, i, page.crediblePercent);
    if (shift == 0) continue;
    const SeriesStatistics s = seriesStatistics(tree, results, i, Series::kScalar);
    p.out += "<tr>";
    p.cell(std::to_string(tree.nodes[i]->id), true);
    p.cell(html(taxa[i]));
    p.cell(shift > 0 ? "up" : "down");
    p.cell(shortNumber(shift > 0 ? percentUp(results, i) : percentDown(results, i)), true);
    p.cell(page.bayesFactors.empty()
               ? "NA"
               : shortNumber(shift > 0 ? page.bayesFactors[i].up : page.bayesFactors[i].down),
           true);
    p.cell(number(s.hpdLower) + " to " + number(s.hpdUpper));
    const auto found = densities.find(i);
    p.cell(found == densities.end()
               ? ""
               : shiftDensityPlot(found->second->posterior, found->second->prior));
    p.out += "</tr>\n";
    ++rows;
  }
  p.out += "</tbody></table>\n";
  if (rows == 0) p.out += "<p>No branch is a credible shift.</p>\n";
}

// One series of one node, as the convergence table ranks them.
struct SeriesRank {
  double rhat;
  size_t position;
  int series;
};

void convergenceTable(Page& p, const Tree& tree, const Results& results,
                      const std::vector<std::string>& taxa) {
  std::vector<SeriesRank> ranked;
  for (size_t i = 0; i < tree.nodes.size(); ++i) {
    for (int s = 0; s < kSeriesCount; ++s) {
      const auto rhat = seriesStatistics(tree, results, i, static_cast<Series>(s)).rhat;
      if (rhat) ranked.push_back({*rhat, i, s});
    }
  }
  const size_t shown = std::min(kWorstSeries, ranked.size());
  std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(shown),
                    ranked.end(), [](const SeriesRank& a, const SeriesRank& b) {
                      return a.rhat > b.rhat || (a.rhat == b.rhat && a.position < b.position) ||
                             (a.rhat == b.rhat && a.position == b.position && a.series < b.series);
                    });
  p.out += "<h2 id=\"convergence\">Convergence</h2>\n<p>The " + std::to_string(shown) +
           " series with the highest R-hat.</p>\n<table class=\"sortable\"><thead><tr><th>node"
           "</th><th>taxa</th><th>series</th><th>R-hat</th><th>bulk ESS</th><th>tail ESS</th>"
           "<th>ESS</th></tr></thead><tbody>\n";
  for (size_t k = 0; k < shown; ++k) {
    const SeriesRank& r = ranked[k];
    const SeriesStatistics s =
        seriesStatistics(tree, results, r.position, static_cast<Series>(r.series));
    p.out += "<tr>";
    p.cell(std::to_string(tree.nodes[r.position]->id), true);
    p.cell(html(taxa[r.position]));
    p.cell(kSeriesNames[r.series]);
    p.cell(number(s.rhat), true);
    p.cell(number(s.essBulk), true);
    p.cell(number(s.essTail), true);
    p.cell(number(s.ess), true);
    p.out += "</tr>\n";
  }
  p.out +=
      "</tbody></table>\n<details><summary>Every node: R-hat of each series and its lowest "
      "sample sizes</summary>\n<table class=\"sortable all\"><thead><tr><th>node</th><th>"
      "scalar</th><th>sigv</th><th>deltab</th><th>deltav</th><th>lowest bulk ESS</th><th>"
      "lowest tail ESS</th></tr></thead><tbody>\n";
  // One row per node, thousands of them: HTML lets the cells' and rows' end tags go.
  for (size_t i = 0; i < tree.nodes.size(); ++i) {
    p.out += "<tr><td>" + std::to_string(tree.nodes[i]->id);
    std::optional<double> bulk, tail;
    for (int s = 0; s < kSeriesCount; ++s) {
      const SeriesStatistics st = seriesStatistics(tree, results, i, static_cast<Series>(s));
      p.out += "<td>" + number(st.rhat);
      if (st.essBulk && !(bulk && *bulk <= *st.essBulk)) bulk = st.essBulk;
      if (st.essTail && !(tail && *tail <= *st.essTail)) tail = st.essTail;
    }
    p.out += "<td>" + number(bulk) + "<td>" + number(tail) + "\n";
  }
  p.out += "</tbody></table></details>\n";
}

void methods(Page& p, const PageContent& page, double hpdMass) {
  const std::string mass = shortNumber(hpdMass * 100.0);
  p.out +=
      "<h2 id=\"methods\">Methods</h2>\n"
      "<p><b>Rate tree.</b> Each branch of the fixed tree drawn at its logged length, coloured "
      "by <code>" +
      html(page.colorBy) +
      "</code> over the branches that some sample changed (scale ends at the 2nd and 98th "
      "percentiles; ratios on a log2 scale centred on 1), as wide as the share of samples that "
      "changed it. A triangle marks a credible shift: Scalar above (up) or below (down) 1 in at "
      "least " +
      shortNumber(page.crediblePercent) +
      "% of the retained samples. Scalar is a branch's length in a sample over its logged "
      "length.</p>\n"
      "<p><b>Convergence map.</b> The same tree coloured by the highest R-hat among the "
      "branch's four series. R-hat is the rank-normalised split R-hat, the larger of the bulk "
      "and folded forms, and bulk and tail ESS are the rank-normalised effective sample sizes, "
      "after the definitions of the R package posterior, on the chains cut to the shortest. "
      "R-hat near 1 means the chains agree; values of " +
      shortNumber(page.thresholds.rhatMax) + " or more, or bulk or tail ESS below " +
      shortNumber(page.thresholds.essMin) +
      " per chain, say they do not yet; the verdict applies these thresholds to every series "
      "and global column.</p>\n"
      "<p><b>Global columns.</b> Traces of each sample line's global columns per chain, "
      "thinned to at most " +
      std::to_string(kMaxTracePoints) +
      " points per chain. Rank histograms: all chains' draws ranked together (ties share their "
      "average rank) in 20 bins; chains that sample the same distribution give flat histograms "
      "near the dashed line. Densities: each chain's histogram of 100 bins smoothed by a "
      "Gaussian kernel (Scott's bandwidth), overlaid.</p>\n"
      "<p><b>Credible shifts.</b> The share is the percentage of retained samples with Scalar "
      "above (up) or below (down) 1. The HPD interval is the shortest interval holding " +
      mass +
      "% of the sorted Scalar values. A Bayes factor, where a prior run was given, is the "
      "posterior odds of the share over the prior run's odds. The histogram shows log2 Scalar "
      "in 40 bins over a range symmetric about 0.</p>\n"
      "<p><b>Convergence table.</b> ESS is the effective sample size by the initial positive "
      "sequence of autocorrelations as Tracer computes it (below " +
      shortNumber(page.thresholds.tracerEssMin) +
      " breaks the verdict); the report's "
      "mode is the highest point of a Gaussian kernel density on a grid of the series' range. "
      "The table lists the " +
      std::to_string(kWorstSeries) +
      " series with the highest R-hat, and every node under it.</p>\n";
}

}  // namespace

std::string typedCommandLine(const std::vector<std::string>& argv) {
  std::string line;
  for (size_t k = 0; k < argv.size(); ++k) {
    // The program's own folder is no input, and may be a path the user never typed.
    const std::string& arg = k > 0 ? argv[k] : argv[k].substr(argv[k].find_last_of('/') + 1);
    if (!line.empty()) line += ' ';
    const bool plain = !arg.empty() && arg.find_first_not_of(
                                           "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                           "0123456789-_./=,:%+@") == std::string::npos;
    if (plain) {
      line += arg;
      continue;
    }
    line += '\'';
    for (char c : arg) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
    line += '\'';
  }
  return line;
}

ShiftDensity takeShiftDensity(const Tree& tree, const Results& results, size_t position) {
  const std::vector<double>& history = results.nodes[position].lengthHistory;
  const double length = tree.nodes[position]->length;
  std::vector<double> values(history.size());
  double reach = 1.0;
  for (size_t i = 0; i < history.size(); ++i) {
    values[i] = std::log2(history[i] / length);
    if (std::isfinite(values[i])) reach = std::max(reach, std::fabs(values[i]));
  }
  reach = std::min(std::ceil(reach), kLog2ScalarReach);
  ShiftDensity density{position, makeHistogram(values, -reach, reach, kShiftDensityBins), {}};
  if (!results.priorLog2Scalar.empty()) {
    density.prior = {-reach, reach, std::vector<uint32_t>(kShiftDensityBins, 0)};
    // A bin of the page's spans `reach` of the prior's fine bins, which begin at -kLog2ScalarReach;
    // those beyond [-reach, reach] go to the end bins, as makeHistogram puts such values.
    const auto span =
        static_cast<size_t>(std::lround(reach * 2.0 / kLog2ScalarStep)) / kShiftDensityBins;
    const auto first =
        static_cast<size_t>(std::lround((kLog2ScalarReach - reach) / kLog2ScalarStep));
    const uint32_t* fine = results.priorLog2Scalar.data() + position * kLog2ScalarBins;
    for (size_t k = 0; k < kLog2ScalarBins; ++k) {
      const size_t bin = k < first ? 0 : std::min((k - first) / span, kShiftDensityBins - 1);
      density.prior.counts[bin] += fine[k];
    }
  }
  return density;
}

std::string runSection(const Provenance& run) {
  const std::string burnIn =
      !run.burnInShare.empty()
          ? run.burnInShare + " of each log's sample lines"
          : "sample lines below iteration " + std::to_string(run.burnInIteration.value_or(0));
  std::string out = "<h2 id=\"run\">Run</h2>\n<table>\n<tr><th>version</th><td>" +
                    html(run.version) + "</td></tr>\n<tr><th>command</th><td><code>" +
                    html(typedCommandLine(run.arguments)) +
                    "</code></td></tr>\n<tr><th>burn-in</th><td>" + html(burnIn) + "</td></tr>\n";
  const auto input = [&](const std::string& role, const InputFile& file, const std::string& more) {
    out += "<tr><th>" + role + "</th><td>" + html(file.path);
    if (file.bytes) out += ", " + std::to_string(*file.bytes) + " bytes";
    if (file.sha256) out += ", SHA-256 <code>" + hexDigest(*file.sha256) + "</code>";
    out += more + "</td></tr>\n";
  };
  const auto logs = [&](const char* role, const std::vector<LogProvenance>& list) {
    for (size_t c = 0; c < list.size(); ++c) {
      input(role + std::to_string(c + 1), list[c].file,
            ": " + std::to_string(list[c].sampleLines) + " sample lines, " +
                std::to_string(list[c].burnInLines) + " dropped as burn-in, " +
                std::to_string(list[c].retained) + " retained");
    }
  };
  logs("chain ", run.chains);
  logs("prior run ", run.priors);
  if (run.options) input("options", *run.options, "");
  return out + "</table>\n";
}

std::string verdictBanner(const PageVerdict& verdict, int32_t credibleShifts, bool priorRun) {
  std::string out = "<div id=\"verdict\" class=\"banner ";
  if (!verdict.judged) {
    out += "none\"><b>Convergence not judged.</b>";
  } else {
    out += verdict.converged ? "ok\"><b>Converged.</b>" : "bad\"><b>Not converged.</b>";
  }
  out += " " + std::to_string(credibleShifts) +
         (credibleShifts == 1 ? " credible shift" : " credible shifts") +
         (priorRun ? ", with Bayes factors against a prior run." : ", no prior run to weigh them.");
  if (!verdict.reasons.empty()) {
    out += "<ul class=\"reasons\">";
    for (const std::string& reason : verdict.reasons) out += "<li>" + html(reason) + "</li>";
    out += "</ul>";
  }
  return out + "</div>\n";
}

void writeHtmlPage(FILE* out, const Tree& tree, const Results& results, const TreeLayout& layout,
                   const std::vector<ChainColumns>& columns, const PageContent& page) {
  try {
    const auto names = namesById(tree);
    std::vector<const char*> sorted;
    std::vector<std::string> taxa(tree.nodes.size()), titles(tree.nodes.size());
    int32_t shifts = 0;
    for (size_t i = 0; i < tree.nodes.size(); ++i) {
      taxa[i] = taxaSummary(*tree.nodes[i], names, sorted, 3);
      // Thousands of tooltips weigh on the page: one name each.
      titles[i] =
          branchTitle(tree, results, i, taxaSummary(*tree.nodes[i], names, sorted, 1), page);
      shifts += credibleShift(results, i, page.crediblePercent) != 0;
    }
    Page p;
    p.out.reserve(tree.nodes.size() * 1200 + 400000);
    p.out +=
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width\"><title>Scalesum: " +
        html(page.provenance.chains.empty() ? tree.path
                                            : page.provenance.chains.front().file.path) +
        "</title><style>" + kStyle + "</style></head>\n<body>\n<h1>Scalesum report</h1>\n";
    p.out += runSection(page.provenance);
    p.out += verdictBanner(page.verdict, shifts, !page.bayesFactors.empty());
    treeSection(p, tree, results, layout, page, titles);
    convergenceMap(p, tree, results, layout, page);
    globalColumns(p, columns, page);
    shiftTable(p, tree, results, page, taxa);
    convergenceTable(p, tree, results, taxa);
    methods(p, page, results.hpdMass);
    p.out += "<script>" + std::string(kScript) + "</script>\n</body></html>\n";
    std::fwrite(p.out.data(), 1, p.out.size(), out);
  } catch (const std::bad_alloc&) {
    reportAllocationError("Scalesum", 40);
  }
}

}  // namespace scalesum
