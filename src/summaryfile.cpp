#include "summaryfile.h"

#include <charconv>
#include <cmath>
#include <new>
#include <unordered_set>

#include "failure.h"
#include "report.h"
#include "statistic.h"

namespace scalesum {

namespace {

// Returns the length of the well-formed UTF-8 sequence at the start of `text` (RFC 3629: no
// overlong forms, no surrogates, nothing above U+10FFFF), or 0.
size_t utf8Length(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

// Appends `value` as a JSON number or null.
void appendOptional(std::string& out, const std::optional<double>& value) {
  if (value) {
    appendJsonNumber(out, *value);
  } else {
    out += "null";
  }
}

// Appends the members "path", "bytes" and "sha256" of `file`, each after a comma but the first.
void appendInputFile(std::string& out, const InputFile& file) {
  out += "\"path\": ";
  appendJsonString(out, file.path);
  out += ", \"bytes\": ";
  out += file.bytes ? std::to_string(*file.bytes) : "null";
  out += ", \"sha256\": ";
  out += file.sha256 ? '"' + hexDigest(*file.sha256) + '"' : "null";
}

// Appends the array of `logs`, one object a line.
void appendLogs(std::string& out, const std::vector<LogProvenance>& logs) {
  if (logs.empty()) {
    out += "[]";
    return;
  }
  out += "[\n";
  for (size_t i = 0; i < logs.size(); ++i) {
    const LogProvenance& log = logs[i];
    out += "    {";
    appendInputFile(out, log.file);
    out += ", \"sample_lines\": " + std::to_string(log.sampleLines);
    out += ", \"burn_in_lines\": " + std::to_string(log.burnInLines);
    out += ", \"retained_samples\": " + std::to_string(log.retained);
    out += i + 1 < logs.size() ? "},\n" : "}\n";
  }
  out += "  ]";
}

// Appends the members "node", "series" and "column" that say where a figure is.
void appendSite(std::string& out, const FigureSite& site) {
  if (site.series < 0) {
    out += "\"node\": null, \"series\": null, \"column\": ";
    appendJsonString(out, site.column);
    return;
  }
  out += "\"node\": " + std::to_string(site.nodeId) + ", \"series\": \"";
  out += kSeriesNames[site.series];
  out += "\", \"column\": null";
}

void appendProvenance(std::string& out, const Provenance& provenance) {
  out += "  \"version\": ";
  appendJsonString(out, provenance.version);
  out += ",\n  \"command_line\": [";
  for (size_t i = 0; i < provenance.arguments.size(); ++i) {
    if (i > 0) out += ", ";
    appendJsonString(out, provenance.arguments[i]);
  }
  out += "],\n  \"burn_in\": {\"iteration\": ";
  out += provenance.burnInIteration ? std::to_string(*provenance.burnInIteration) : "null";
  out += ", \"share\": ";
  if (provenance.burnInShare.empty()) {
    out += "null";
  } else {
    appendJsonString(out, provenance.burnInShare);
  }
  out += "},\n  \"chains\": ";
  appendLogs(out, provenance.chains);
  out += ",\n  \"priors\": ";
  appendLogs(out, provenance.priors);
  out += ",\n  \"options\": ";
  if (provenance.options) {
    out += '{';
    appendInputFile(out, *provenance.options);
    out += '}';
  } else {
    out += "null";
  }
  out += ",\n";
}

void appendVerdict(std::string& out, const Thresholds& thresholds, const Verdict& verdict) {
  out += "  \"thresholds\": {\"rhat_max\": ";
  appendJsonNumber(out, thresholds.rhatMax);
  out += ", \"ess_min\": ";
  appendJsonNumber(out, thresholds.essMin);
  out += ", \"tracer_ess_min\": ";
  appendJsonNumber(out, thresholds.tracerEssMin);
  out += "},\n  \"verdict\": {\n    \"judged\": ";
  out += verdict.judged ? "true" : "false";
  out += ",\n    \"converged\": ";
  out += verdict.converged ? "true" : "false";
  out += ",\n    \"checks\": {";
  for (int m = 0; m < kMeasureCount; ++m) {
    const MeasureTally& tally = verdict.tallies[m];
    out += m > 0 ? ",\n      \"" : "\n      \"";
    out += kMeasureKeys[m];
    out += "\": {\"judged\": ";
    out += tally.judged ? "true" : "false";
    out += ", \"examined\": " + std::to_string(tally.examined);
    out += ", \"breaking\": " + std::to_string(tally.breaking) + ", \"worst\": ";
    appendOptional(out, tally.worst);
    out += ", ";
    if (tally.worst) {
      appendSite(out, tally.worstSite);
    } else {
      out += "\"node\": null, \"series\": null, \"column\": null";
    }
    out += '}';
  }
  out += "\n    },\n    \"reasons\": [";
  for (size_t i = 0; i < verdict.reasons.size(); ++i) {
    const VerdictReason& reason = verdict.reasons[i];
    out += i > 0 ? ",\n      {\"measure\": \"" : "\n      {\"measure\": \"";
    out += kMeasureKeys[static_cast<int>(reason.measure)];
    out += "\", \"figure\": ";
    appendJsonNumber(out, reason.figure);
    out += ", \"threshold\": ";
    appendJsonNumber(out, reason.threshold);
    out += ", ";
    appendSite(out, reason.site);
    out += '}';
  }
  out += verdict.reasons.empty() ? "]\n  },\n" : "\n    ]\n  },\n";
}

void appendShifts(std::string& out, const std::vector<CredibleShiftRow>& shifts,
                  double crediblePercent) {
  out += "  \"credible_percent\": ";
  appendJsonNumber(out, crediblePercent);
  out += ",\n  \"credible_shifts\": [";
  for (size_t i = 0; i < shifts.size(); ++i) {
    const CredibleShiftRow& shift = shifts[i];
    out += i > 0 ? ",\n    {\"node\": " : "\n    {\"node\": ";
    out += std::to_string(shift.nodeId) + ", \"taxa\": [";
    for (size_t k = 0; k < shift.taxa.size(); ++k) {
      if (k > 0) out += ", ";
      appendJsonString(out, shift.taxa[k]);
    }
    out += "], \"direction\": ";
    out += shift.direction > 0 ? "\"increase\"" : "\"decrease\"";
    out += ", \"share\": ";
    appendJsonNumber(out, shift.share);
    out += ", \"bayes_factor\": ";
    appendOptional(out, shift.bayesFactor);
    out += '}';
  }
  out += shifts.empty() ? "]\n" : "\n  ]\n";
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out += '"';
  while (!text.empty()) {
    const unsigned char c = static_cast<unsigned char>(text.front());
    size_t taken = 1;
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20) {
      out += "\\u00";
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else if ((taken = utf8Length(text)) > 0) {
      out.append(text.data(), taken);
    } else {
      taken = 1;
      out += "\\ufffd";
    }
    text.remove_prefix(taken);
  }
  out += '"';
}

void appendJsonNumber(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value);
  out.append(text, end);
}

std::vector<CredibleShiftRow> credibleShiftRows(const Tree& tree, const Results& results,
                                                double percent) {
  std::vector<CredibleShiftRow> rows;
  const std::unordered_map<int32_t, const char*> names = namesById(tree);
  std::vector<const char*> sorted;
  std::unordered_set<const Node*> seen;  // a node at two positions counts once
  for (size_t i = 0; i < tree.nodes.size(); ++i) {
    if (!seen.insert(tree.nodes[i]).second) continue;
    const int direction = credibleShift(results, i, percent);
    if (direction == 0) continue;
    sortTaxonNames(*tree.nodes[i], names, sorted);
    rows.push_back({tree.nodes[i]->id, std::vector<std::string>(sorted.begin(), sorted.end()),
                    direction, direction > 0 ? percentUp(results, i) : percentDown(results, i),
                    statisticByName(tree, results, i, direction > 0 ? "bf_up" : "bf_down")});
  }
  return rows;
}

void writeSummary(FILE* out, const Provenance& provenance, const Thresholds& thresholds,
                  const Verdict& verdict, const std::vector<CredibleShiftRow>& shifts,
                  double crediblePercent) {
  try {
    std::string text = "{\n";
    appendProvenance(text, provenance);
    appendVerdict(text, thresholds, verdict);
    appendShifts(text, shifts, crediblePercent);
    text += "}\n";
    std::fputs(text.c_str(), out);
  } catch (const std::bad_alloc&) {
    reportAllocationError("Scalesum", 33);
  }
}

}  // namespace scalesum
