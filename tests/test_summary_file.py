"""Runs Scalesum with --summary and --require-convergence on simulated chains.

Usage: test_summary_file.py SCALESUM_BINARY SOURCE_DIR. The schema check is skipped, with a
message, without python3-jsonschema.
"""
import csv
import gzip
import hashlib
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

BINARY, SOURCE = sys.argv[1], sys.argv[2]
SCHEMA = os.path.join(SOURCE, "doc", "summary.schema.json")


def simulate(folder, name, taxa, samples, chain=1):
    path = os.path.join(folder, name)
    subprocess.run([sys.executable, os.path.join(SOURCE, "tools", "simulate_log.py"), "--taxa",
                    str(taxa), "--samples", str(samples), "--seed", "1", "--chain", str(chain),
                    "--out", path], check=True)
    return path


def digest(path):
    with open(path, "rb") as file:
        data = file.read()
    return len(data), hashlib.sha256(data).hexdigest()


class SummaryFile(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp()
        cls.chains = [simulate(cls.folder, f"c{c}.log", 16, 300, c) for c in (1, 2, 3)]
        shipped = os.path.join(SOURCE, "examples", "chains")
        cls.converged = [os.path.join(shipped, f"run{c}.log.gz") for c in (1, 2, 3)]
        cls.prior = os.path.join(shipped, "prior.log.gz")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def path(self, name):
        return os.path.join(self.folder, name)

    def run_scalesum(self, logs, *flags, stdin=None):
        command = [BINARY, logs[0]] + [arg for log in logs[1:] for arg in ("-c", log)]
        return subprocess.run(command + ["--summary", self.path("s.json"), *flags],
                              capture_output=True, text=True, stdin=stdin)

    def summary(self):
        subprocess.run([sys.executable, "-m", "json.tool", self.path("s.json")], check=True,
                       capture_output=True)
        with open(self.path("s.json")) as file:
            document = json.load(file)
        try:
            import jsonschema
        except ImportError:
            print("SKIP schema check: python3-jsonschema is not installed "
                  "(tools/install-deps.sh installs it)")
            return document
        with open(SCHEMA) as file:
            jsonschema.validate(document, json.load(file))
        return document

    def test_disagreeing_chains_exit_3_with_every_output_written(self):
        outputs = {"-o": "r.tsv", "--stats": "st.tsv", "--tree": "t.nex", "-p": "p.tsv"}
        flags = [arg for flag, name in outputs.items() for arg in (flag, self.path(name))]
        run = self.run_scalesum(self.chains, "--require-convergence", "-q",
                                *flags)
        self.assertEqual(run.returncode, 3, run.stderr)
        # The reasons are the point of status 3: they are written even under -q.
        self.assertTrue(run.stderr.startswith("Scalesum: not converged: "), run.stderr)
        for name in outputs.values():
            self.assertTrue(os.path.getsize(self.path(name)) > 0, name)
        document = self.summary()
        verdict = document["verdict"]
        self.assertEqual((verdict["judged"], verdict["converged"]), (True, False))
        for measure, check in verdict["checks"].items():
            self.assertEqual(check["breaking"],
                             sum(r["measure"] == measure for r in verdict["reasons"]))
        with open(self.path("st.tsv"), newline="") as table:
            rows = list(csv.DictReader(table, delimiter="\t"))
        rhats = [float(row["rhat"]) for row in rows if row["rhat"] != "NA"]
        worst = verdict["checks"]["rhat"]
        # The --params columns' R-hat join the series'.
        with open(self.path("p.tsv"), newline="") as table:
            rhats += [float(row["rhat"]) for row in csv.DictReader(table, delimiter="\t")
                      if row["chain"] == "all" and row["rhat"] != "NA"]
        self.assertEqual(worst["worst"], max(rhats))
        self.assertEqual([(c["path"], c["bytes"], c["sha256"]) for c in document["chains"]],
                         [(log, *digest(log)) for log in self.chains])

    def test_thresholds_on_the_command_line_move_the_verdict(self):
        loose = ["--rhat-max", "10", "--ess-min", "0", "--tracer-ess-min", "0"]
        run = self.run_scalesum(self.chains, "--require-convergence", *loose)
        self.assertEqual(run.returncode, 0, run.stderr)
        document = self.summary()
        self.assertEqual(document["thresholds"],
                         {"rhat_max": 10, "ess_min": 0, "tracer_ess_min": 0})
        self.assertTrue(document["verdict"]["converged"])
        # And the warnings use them too.
        self.assertNotIn("warning", run.stderr)
        strict = self.run_scalesum(self.converged, "--require-convergence", "--ess-min", "5000")
        self.assertEqual(strict.returncode, 3)
        self.assertIn("bulk ESS below 15000", strict.stderr)

    def test_converged_chains_exit_0_and_the_summary_is_reproducible(self):
        flags = ["--require-convergence", "-v", "-o", os.devnull, "-s", self.path("st.tsv"),
                 "--prior", self.prior]
        run = self.run_scalesum(self.converged, *flags)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertTrue(run.stderr.endswith(", converged\n"), run.stderr)
        with open(self.path("s.json"), "rb") as file:
            first = file.read()
        document = self.summary()
        self.assertTrue(document["verdict"]["converged"])
        self.assertEqual([(p["path"], p["bytes"], p["sha256"], p["retained_samples"])
                          for p in document["priors"]], [(self.prior, *digest(self.prior), 1200)])
        with open(self.path("st.tsv"), newline="") as table:
            rows = list(csv.DictReader(table, delimiter="\t"))
        credible = {(int(row["node_id"]), row["taxa"], float(row["pct_" + way]),
                     float(row["bf_" + way]))
                    for row in rows if row["series"] == "scalar" for way in ("up", "down")
                    if float(row["pct_" + way]) >= 95}
        shifts = {(s["node"], ",".join(s["taxa"]), s["share"], s["bayes_factor"])
                  for s in document["credible_shifts"]}
        self.assertEqual(shifts, credible)
        self.assertNotIn("warning", run.stderr)
        # The credible shifts are exactly the planted ones, each with a finite Bayes factor.
        with open(os.path.join(SOURCE, "examples", "chains", "planted.tsv"), newline="") as table:
            planted = {(int(r["node_id"]), r["shift"])
                       for r in csv.DictReader(table, delimiter="\t")}
        found = [(s["node"], "up" if s["direction"] == "increase" else "down")
                 for s in document["credible_shifts"]]
        self.assertEqual(sorted(found), sorted(planted))
        self.assertTrue(all(math.isfinite(s[3]) for s in shifts), shifts)
        self.run_scalesum(self.converged, *flags)
        with open(self.path("s.json"), "rb") as file:
            self.assertEqual(file.read(), first)

    def test_the_simulator_writes_the_shipped_chains_again(self):
        shipped = os.path.join(SOURCE, "examples", "chains")
        for name, flags in [(f"run{c}", ["--chain", str(c)]) for c in (1, 2, 3)] + \
                           [("prior", ["--prior-only"])]:
            subprocess.run([sys.executable, os.path.join(SOURCE, "tools", "simulate_log.py"),
                            "--converged", "--taxa", "24", "--samples", "1200", "--seed", "1",
                            "--out", self.path(name), "--planted", self.path("planted.tsv"),
                            *flags], check=True)
            with open(self.path(name), "rb") as new, \
                    gzip.open(os.path.join(shipped, name + ".log.gz")) as old:
                self.assertTrue(new.read() == old.read(), name)
        with open(self.path("planted.tsv"), "rb") as new, \
                open(os.path.join(shipped, "planted.tsv"), "rb") as old:
            self.assertTrue(new.read() == old.read())

    def test_a_log_from_standard_input_is_digested_as_read(self):
        with open(self.converged[0], "rb") as log:
            run = self.run_scalesum(["-"], "-q", "-o", os.devnull, stdin=log)
        self.assertEqual(run.returncode, 0, run.stderr)
        chain = self.summary()["chains"][0]
        self.assertEqual((chain["path"], chain["bytes"], chain["sha256"]),
                         ("-", *digest(self.converged[0])))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
