"""Reads the statistics file of the example run back with the csv module and checks it against
the report that the same run printed."""
import csv
import subprocess
import sys
import tempfile

program, examples = sys.argv[1], sys.argv[2]
with tempfile.TemporaryDirectory() as work:
    run = subprocess.run([program, "-qs", work + "/stats.tsv", examples + "/example.log",
                          examples + "/example.options"], capture_output=True, text=True,
                         check=True)
    with open(work + "/stats.tsv", newline="", encoding="utf-8") as f:
        header, *rows = list(csv.reader(f, delimiter="\t"))

report = [line.split("\t") for line in run.stdout.split("\n") if line][1:]
assert header == ("node_id taxa series n mean sd median mode hpd_lower hpd_upper ess min max "
                  "changed pct_changed pct_up pct_down chains rhat ess_bulk ess_tail mcse_mean mcse_sd "
                  "mcse_median prior_n prior_pct_changed prior_pct_up prior_pct_down bf_changed "
                  "bf_up bf_down").split(), header
assert len(rows) == 4 * len(report), (len(rows), len(report))
for k, row in enumerate(rows):
    cells, series = report[k // 4], k % 4
    assert len(row) == len(header) and row[3] == rows[0][3], row
    assert row[:3] == [cells[0], cells[21], ["scalar", "sigv", "deltab", "deltav"][series]], row
    assert row[13] == cells[3] and "%f" % float(row[14]) == cells[4], (row, cells)
    if cells[2] == "0.000000":  # no statistics for a node of length 0, the root among them
        assert row[4:13] == ["NA"] * 9 and row[18:] == ["NA"] * 13, row
        continue
    # The sample size is missing exactly for the constant series.
    assert (row[10] == "NA") == (float(row[11]) == float(row[12])), row
    # mean sd median mode, which the report gives in the order mean mode median sd
    for column, cell in zip((5, 8, 7, 6), row[4:8]):
        assert "%f" % float(cell) == cells[column + 4 * series], (row, cells)

# DeltaV is SigV times the node's length and DeltaB the sigmas times it, value by value, so each
# Monte Carlo error over the standard deviation is SigV's for DeltaV and one figure for every
# DeltaB: the errors of the scaled series are the scaled errors of the right draws.
def relative(a, b):
    return abs(a - b) <= 1e-12 * max(abs(a), abs(b))


deltab = None
for k in range(0, len(rows), 4):
    scalar, sigv, deltab_row, deltav = rows[k:k + 4]
    if sigv[5] == "NA" or float(sigv[5]) == 0.0:
        continue
    for column in (21, 22, 23):
        assert relative(float(deltav[column]) / float(deltav[5]),
                        float(sigv[column]) / float(sigv[5])), (sigv, deltav)
    ratios = [float(deltab_row[c]) / float(deltab_row[5]) for c in (21, 22, 23)]
    deltab = deltab or ratios
    assert all(map(relative, ratios, deltab)), (deltab_row, deltab)
assert deltab is not None
