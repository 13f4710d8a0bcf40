"""The tree file and the picture as their readers see them; a reader that is missing is skipped.
CTest passes the built Scalesum and the source folder in SCALESUM_BINARY and SCALESUM_SOURCE_DIR."""

import csv
import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HAVE_DENDROPY = importlib.util.find_spec("dendropy") is not None

BINARY = os.environ.get("SCALESUM_BINARY", "")
SOURCE = os.environ.get("SCALESUM_SOURCE_DIR", "")
STATISTICS = {"mean": "", "median": "_median", "mode": "_mode", "sd": "_sd", "ess": "_ess"}


def read_log_tables(path):  # taxa by id; per node id its taxon ids and length
    with open(path, "rb") as log:
        lines = [line.split() for line in log]
    count = int(lines[0][0])
    taxa = {int(f[0]): f[1].decode() for f in lines[1:1 + count]}
    return taxa, {int(f[0]): ({int(t) for t in f[3:]}, float(f[1]))
                  for f in lines[2 + count:2 + count + int(lines[1 + count][0])]}


class TreeReaders(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)

    def run_scalesum(self, *args):
        return subprocess.run([BINARY, *args], capture_output=True, cwd=self.dir)

    def check_against_log(self, log, *extra):
        run = self.run_scalesum("-s", "s.tsv", "--tree", "t.nex", "--svg", "p.svg", "-o", "r.tsv",
                                log, *extra)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        taxa, nodes = read_log_tables(log)
        tree_path = os.path.join(self.dir, "t.nex")
        if shutil.which("xmllint"):
            subprocess.run(["xmllint", "--noout", os.path.join(self.dir, "p.svg")], check=True)
        if shutil.which("Rscript"):
            counts = subprocess.run(
                ["Rscript", "-e", "if (requireNamespace('ape', quietly = TRUE)) { t <- "
                 "ape::read.nexus(commandArgs(TRUE)[1]); cat(length(t$tip.label), t$Nnode) }",
                 tree_path], capture_output=True, check=True, text=True).stdout.split()
            inner = sum(1 for ids, _ in nodes.values() if len(ids) > 1)
            self.assertIn(counts, ([], [str(len(taxa)), str(inner)]))
        if not HAVE_DENDROPY:
            self.skipTest("dendropy is not installed")
        import dendropy
        with open(os.path.join(self.dir, "s.tsv"), newline="", encoding="utf-8") as f:
            rows = {(r["node_id"], r["series"]): r for r in csv.DictReader(f, delimiter="\t")}
        tree = dendropy.Tree.get(path=tree_path, schema="nexus", preserve_underscores=True)
        annotated = [node for node in tree if any(a.name == "id" for a in node.annotations)]
        self.assertEqual(len(annotated), len(nodes))
        for node in annotated:
            notes = {a.name: a.value for a in node.annotations}
            ids, length = nodes[int(notes["id"])]
            self.assertEqual({tip.taxon.label for tip in node.leaf_iter()}, {taxa[i] for i in ids})
            self.assertEqual(node.edge.length or 0.0, 0.0 if node is tree.seed_node else length)
            for series in ("scalar", "sigv", "deltab", "deltav"):
                row = rows[(notes["id"], series)]
                self.assertEqual(float(notes["pct_changed"]), float(row["pct_changed"]))
                for column, suffix in STATISTICS.items():
                    key = series + suffix
                    if row[column] == "NA":
                        self.assertNotIn(key, notes)
                    else:
                        self.assertEqual(float(notes[key]), float(row[column]), key)
                interval = notes.get(series + "_95%_HPD")
                expected = [row["hpd_lower"], row["hpd_upper"]]
                self.assertEqual(interval and [float(v) for v in interval],
                                 None if "NA" in expected else [float(v) for v in expected])

    def test_example(self):
        self.check_against_log(os.path.join(SOURCE, "examples", "example.log"),
                               os.path.join(SOURCE, "examples", "example.options"))

    def test_odd_taxon_names(self):
        log = os.path.join(self.dir, "odd.log")
        subprocess.run([sys.executable, os.path.join(SOURCE, "tools", "simulate_log.py"),
                        "--taxa", "12", "--samples", "80", "--out", log], check=True)
        with open(log, encoding="utf-8") as f:
            lines = f.read().split("\n")
        for k, name in enumerate(["it's", "a&b", "x<y", "caf\u00e9", "\u00fc_'q'", "[no]"]):
            lines[1 + k] = "%d\t%s" % (k, name)
        with open(log, "w", encoding="utf-8") as f:
            f.write("\n".join(lines))
        self.check_against_log(log)


if __name__ == "__main__":
    unittest.main()
