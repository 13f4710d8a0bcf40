"""Holds the convergence diagnostics against R's posterior package on simulated chains: R-hat,
bulk and tail effective sample sizes, the Monte Carlo errors of the mean, standard deviation
and median, and the normal quantiles under them, to 1e-12 relative; given the program and the
sources, also the rows of all chains of the global columns' table of the shipped chains.
Skips (status 77) where Rscript or the package is missing."""
import math
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile

probe = sys.argv[1]
program, source = (sys.argv[2], sys.argv[3]) if len(sys.argv) > 3 else (None, None)
if shutil.which("Rscript") is None:
    print("skipped: Rscript is missing (Debian package r-base-core)")
    sys.exit(77)
if subprocess.run(["Rscript", "-e", "library(posterior)"], capture_output=True).returncode != 0:
    print("skipped: R's posterior package is missing (Debian package r-cran-posterior)")
    sys.exit(77)

rng = random.Random(20261207)


def ar1(phi, n, shift=0.0):
    x, out = rng.gauss(0, 1), []
    for _ in range(n):
        x = phi * x + rng.gauss(0, 1)
        out.append(x + shift)
    return out


def lumpy(n, share):
    """Mostly exactly 1, as the scalars of a branch that few samples scale."""
    return [1.0 if rng.random() < share else rng.lognormvariate(0, 1) for _ in range(n)]


cases = {}
for phi in (0.0, 0.5, 0.9, 0.99, -0.6):
    cases["ar1 phi=%g" % phi] = [ar1(phi, 400) for _ in range(4)]
cases["one chain shifted"] = [ar1(0.7, 300) for _ in range(3)] + [ar1(0.7, 300, 1.5)]
cases["odd length 101"] = [ar1(0.3, 101) for _ in range(3)]
cases["long slow odd chains"] = [ar1(0.95, 2001) for _ in range(3)]
# Half-chains just under, at and over whole words of 64 draws, slow enough to read many lags.
for n in (255, 257, 258, 383):
    cases["halves near words, %d" % n] = [[round(v, 1) for v in ar1(0.97, n)]
                                          for _ in range(1 + n % 4)]
cases["odd length 13"] = [ar1(0.3, 13) for _ in range(2)]
cases["ties"] = [[round(v, 1) for v in ar1(0.5, 200)] for _ in range(4)]
cases["mostly one value"] = [lumpy(250, 0.8) for _ in range(4)]
cases["almost all one value"] = [lumpy(250, 0.97) for _ in range(2)]
cases["values a few bits apart"] = [[1 + rng.randrange(4000) * 2.0**-45 for _ in range(500)]
                                   for _ in range(2)]
cases["a constant chain"] = [ar1(0.2, 100), [2.5] * 100, ar1(0.2, 100)]
cases["one chain"] = [ar1(0.8, 1000)]
cases["one odd chain"] = [ar1(0.8, 11)]
cases["six draws"] = [ar1(0.1, 6)]
cases["five draws"] = [ar1(0.1, 5)]
cases["x1"] = [[0.5, 1.5, 0.2, 1.8, 0.9, 1.1, 0.3, 1.7]]
cases["extremes either side of 0"] = [[-0.5, 0.5, -0.8, 0.8, -0.1, 0.1, -0.7, 0.7]]
# Figures that do not exist: halves of one draw have no variance, halves below three no
# autocorrelation; constant draws; draws all equally far from the median; over 5% of the draws
# at the largest value, which makes the 95% quantile's indicator constant; a draw not a number.
cases["three draws"] = [[1.0, 2.0, 3.0]]
cases["four draws"] = [[1.0, 2.0, 3.0, 4.0]]
cases["constant chains"] = [[2.5] * 8, [2.5] * 8]
cases["two values"] = [[0.0, 2.0, 0.0, 2.0, 2.0, 0.0, 0.0, 2.0]]
capped = [1.0 if i == 3 else 1.5 if i == 18 else 0.5 if i == 25 else 2.0 for i in range(40)]
cases["capped"] = [capped, capped[::-1]]
cases["a draw not a number"] = [list(range(1, 21)),
                                [math.nan if i == 8 else i for i in range(1, 21)]]
quantiles = [1e-300, 1e-20, 1.4e-11, 1e-5, 0.01, 0.0749, 0.075, 0.0751, 0.3, 0.5, 0.7,
             0.925, 0.9251, 0.99, 1 - 1e-12] + [rng.random() for _ in range(200)]


def relative(a, b):
    if math.isnan(a) or math.isnan(b):
        return 0.0 if math.isnan(a) and math.isnan(b) else math.inf
    if a == b:
        return 0.0
    return abs(a - b) / max(abs(a), abs(b))


def number(text):
    return math.nan if text in ("NA", "NaN") else float(text)


figures = ("rhat", "ess_bulk", "ess_tail", "mcse_mean", "mcse_sd", "mcse_median")
failures = []
with tempfile.TemporaryDirectory() as work:
    script = ["suppressMessages(library(posterior))",
              "options(warn = -1)",
              "read <- function(f) readBin(f, 'double', file.size(f) / 8, endian = 'little')"]
    ours = {}
    for k, (name, chains) in enumerate(cases.items()):
        path = os.path.join(work, "case%d.bin" % k)
        values = [v for chain in chains for v in chain]
        with open(path, "wb") as f:
            f.write(struct.pack("<%dd" % len(values), *values))
        run = subprocess.run([probe, "chains", path, str(len(chains))], capture_output=True,
                             text=True, check=True)
        ours[name] = [float(v) for v in run.stdout.split()]
        script.append("x <- matrix(read('%s'), ncol = %d)" % (path, len(chains)))
        script.append("cat(sprintf('%.17g', c(rhat(x), ess_bulk(x), ess_tail(x), mcse_mean(x), "
                      "mcse_sd(x), mcse_quantile(x, 0.5))), '\\n')")
    path = os.path.join(work, "p.bin")
    with open(path, "wb") as f:
        f.write(struct.pack("<%dd" % len(quantiles), *quantiles))
    script.append("cat(sprintf('%%.17g', qnorm(read('%s'))), '\\n')" % path)
    run = subprocess.run(["Rscript", "-e", "\n".join(script)], capture_output=True, text=True,
                         check=True)
    lines = run.stdout.strip().split("\n")
    for name, line in zip(cases, lines):
        theirs = [number(v) for v in line.split()]
        for what, a, b in zip(figures, ours[name], theirs):
            if relative(a, b) > 1e-12:
                failures.append("%s: %s is %r, the reference %r" % (name, what, a, b))
    run = subprocess.run([probe, "quantiles", path], capture_output=True, text=True, check=True)
    for p, a, b in zip(quantiles, run.stdout.split(), lines[-1].split()):
        if relative(float(a), number(b)) > 1e-12:
            failures.append("quantile of %r: %s, the reference %s" % (p, a, b))
    if len(lines) != len(cases) + 1:
        failures.append("the reference printed %d lines" % len(lines))
    if program is not None:
        chains = [os.path.join(source, "examples", "chains", "run%d.log.gz" % c) for c in (1, 2, 3)]
        table, traces = os.path.join(work, "params.tsv"), os.path.join(work, "traces.tsv")
        subprocess.run([program, chains[0], "-c", chains[1], "-c", chains[2], "-q", "-o",
                        os.devnull, "-p", table, "--traces", traces], check=True)
        with open(table) as f:
            header = f.readline().rstrip("\n").split("\t")
            rows = [dict(zip(header, line.rstrip("\n").split("\t"))) for line in f]
        rows = [row for row in rows if row["chain"] == "all"]
        script = ["suppressMessages(library(posterior))",
                  "t <- read.delim('%s', check.names = FALSE)" % traces]
        for row in rows:
            script.append("x <- matrix(t[['%s']], ncol = 3)" % row["name"])
            script.append("cat(sprintf('%.17g', c(rhat(x), ess_bulk(x), ess_tail(x), "
                          "mcse_mean(x), mcse_sd(x), mcse_quantile(x, 0.5))), '\\n')")
        run = subprocess.run(["Rscript", "-e", "\n".join(script)], capture_output=True,
                             text=True, check=True)
        for row, line in zip(rows, run.stdout.strip().split("\n")):
            for what, b in zip(figures, line.split()):
                if relative(number(row[what]),
                            number(b)) > 1e-12:
                    failures.append("--params %s: %s is %s, the reference %s"
                                    % (row["name"], what, row[what], b))

for failure in failures:
    print(failure)
sys.exit(1 if failures else 0)
