"""Runs examples/Snakefile with snakemake on three small simulated datasets.

Usage: test_workflow.py SCALESUM_BINARY SOURCE_DIR. Exits 77 (skipped) without snakemake.
"""
import csv
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

BINARY, SOURCE = sys.argv[1], sys.argv[2]
SNAKEFILE = os.path.join(SOURCE, "examples", "Snakefile")

# Each dataset's chain logs, in order; a second chain of a dataset is one more name in its list.
CHAINS = {
    "alpha": ["alpha.log", "alpha-2.log"],
    "beta": ["beta.log"],
    "gamma": ["gamma.log"],
}


def simulate(folder, name, seed, options=None, chain=1):
    command = [sys.executable, os.path.join(SOURCE, "tools", "simulate_log.py"), "--taxa", "6",
               "--samples", "80", "--seed", str(seed), "--chain", str(chain),
               "--out", os.path.join(folder, name)]
    if options:
        command += ["--options", os.path.join(folder, options)]
    subprocess.run(command, check=True)


def snakemake(folder, *settings, flags=("--quiet",)):
    return subprocess.run(
        ["snakemake", "-s", SNAKEFILE, "--cores", "2", "--directory", folder, *flags,
         "--config", "samples=datasets.tsv", f"scalesum={BINARY}", "outdir=results", *settings],
        capture_output=True, text=True)


class Workflow(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.folder)
        rows = ["dataset\tlog\toptions"]
        seed = 1
        for dataset, logs in CHAINS.items():
            for index, log in enumerate(logs):
                options = f"{dataset}.options" if index == 0 else None
                simulate(self.folder, log, seed, options, chain=index + 1)
                rows.append(f"{dataset}\t{log}\t{options or ''}")
            seed += 1
        self.sheet = os.path.join(self.folder, "datasets.tsv")
        with open(self.sheet, "w") as sheet:
            sheet.write("\n".join(rows) + "\n")

    def path(self, *parts):
        return os.path.join(self.folder, *parts)

    def read(self, *parts):
        with open(self.path(*parts)) as file:
            return file.read()

    def direct_run(self, dataset):
        first, *more = [self.path(log) for log in CHAINS[dataset]]
        command = [BINARY, first, *[a for log in more for a in ("--chain", log)],
                   self.path(f"{dataset}.options"), "--stats", self.path("direct.tsv")]
        report = subprocess.run(command, capture_output=True, text=True, check=True).stdout
        return report, self.read("direct.tsv")

    def test_every_dataset_is_summarised_and_the_statistics_merged(self):
        run = snakemake(self.folder)
        self.assertEqual(run.returncode, 0, run.stderr)
        merged = self.read("results", "statistics.tsv").splitlines(keepends=True)
        expected_rows = []
        header = None
        for dataset in CHAINS:
            report, stats = self.direct_run(dataset)
            self.assertEqual(self.read("results", dataset, "report.tsv"), report)
            self.assertEqual(self.read("results", dataset, "stats.tsv"), stats)
            self.assertTrue(self.read("results", dataset, "tree.nex").startswith("#NEXUS"))
            # The job's log holds the closing summary of its run, and its threads.
            self.assertRegex(self.read("results", "logs", f"{dataset}.log"), re.compile(
                             rf"^Scalesum: {len(CHAINS[dataset])} chains?, {80 * len(CHAINS[dataset])} sample lines read", re.M))
            lines = stats.splitlines(keepends=True)
            header = lines[0]
            expected_rows += [f"{dataset}\t{line}" for line in lines[1:]]
        self.assertEqual(merged[0], "dataset\t" + header)
        self.assertEqual(merged[1:], expected_rows)
        self.assertEqual(len(expected_rows), 3 * 11 * 4)  # 6 taxa: 11 nodes, 4 series each
        # One verdict line per dataset, its figures those of the dataset's statistics file.
        verdicts = [line.split("\t") for line in self.read("results", "verdicts.tsv").splitlines()]
        self.assertEqual(verdicts[0], ["dataset", "verdict", "worst_rhat", "lowest_ess_bulk",
                                       "lowest_ess_tail", "lowest_ess", "credible_shifts"])
        self.assertEqual([row[0] for row in verdicts[1:]], list(CHAINS))
        for row in verdicts[1:]:
            stats = list(csv.DictReader(self.read("results", row[0], "stats.tsv").splitlines(),
                                        delimiter="\t"))
            rhats = [float(r["rhat"]) for r in stats if r["rhat"] != "NA"]
            self.assertEqual((row[1], float(row[2])), ("not_converged", max(rhats)))
            shifts = {r["node_id"] for r in stats
                      if max(float(r["pct_up"]), float(r["pct_down"])) >= 95}
            self.assertEqual(int(row[6]), len(shifts))

    def test_a_failing_dataset_fails_the_workflow_and_leaves_no_output(self):
        beta = self.path("beta.log")
        os.truncate(beta, os.path.getsize(beta) - 5)  # cut short inside the last line
        # One thread per job: two jobs at once.
        run = snakemake(self.folder, "threads=1", flags=["--keep-going"])
        self.assertNotEqual(run.returncode, 0)
        self.assertIn("the file looks cut short", self.read("results", "logs", "beta.log"))
        self.assertFalse(os.path.exists(self.path("results", "beta")) and
                         os.listdir(self.path("results", "beta")))
        self.assertFalse(os.path.exists(self.path("results", "statistics.tsv")))
        for dataset in ("alpha", "gamma"):
            self.assertEqual(self.read("results", dataset, "report.tsv"),
                             self.direct_run(dataset)[0])


if __name__ == "__main__":
    if shutil.which("snakemake") is None:
        print("SKIP: snakemake is not installed (tools/install-deps.sh installs it)")
        sys.exit(77)
    unittest.main(argv=sys.argv[:1])
