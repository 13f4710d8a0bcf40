"""The tree file and the picture as the field's readers see them.

Run by CTest with the built Scalesum and the source folder in SCALESUM_BINARY and
SCALESUM_SOURCE_DIR. A reader that is not installed skips its checks.
"""

import csv
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

try:
    import dendropy
except ImportError:
    dendropy = None

BINARY = os.environ.get("SCALESUM_BINARY", "")
SOURCE = os.environ.get("SCALESUM_SOURCE_DIR", "")
STATISTICS = {"mean": "", "median": "_median", "mode": "_mode", "sd": "_sd", "ess": "_ess"}


def read_log_tables(path):
    """The taxa by id and, per node id, its taxon ids and branch length."""
    with open(path, "rb") as log:
        lines = [line.split() for line in log]
    count = int(lines[0][0])
    taxa = {int(f[0]): f[1].decode() for f in lines[1:1 + count]}
    nodes = {}
    for f in lines[2 + count:2 + count + int(lines[1 + count][0])]:
        nodes[int(f[0])] = ({int(t) for t in f[3:]}, float(f[1]))
    return taxa, nodes


class TreeReaders(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)

    def run_scalesum(self, *args):
        return subprocess.run([BINARY, *args], capture_output=True, cwd=self.dir)

    def outputs(self, log, *extra):
        run = self.run_scalesum("--stats", "s.tsv", "--tree", "t.nex", "--svg", "p.svg",
                                "-o", "report.tsv", log, *extra)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        return [os.path.join(self.dir, name) for name in ("s.tsv", "t.nex", "p.svg")]

    def check_against_log(self, log, *extra):
        stats_path, tree_path, svg_path = self.outputs(log, *extra)
        if shutil.which("xmllint"):
            subprocess.run(["xmllint", "--noout", svg_path], check=True)
        if shutil.which("Rscript") and subprocess.run(
                ["Rscript", "-e", "library(ape)"], capture_output=True).returncode == 0:
            counts = subprocess.run(
                ["Rscript", "-e", "t <- ape::read.nexus(commandArgs(TRUE)[1]); "
                 "cat(length(t$tip.label), t$Nnode)", tree_path],
                capture_output=True, check=True, text=True).stdout.split()
            taxa, nodes = read_log_tables(log)
            inner = sum(1 for ids, _ in nodes.values() if len(ids) > 1)
            self.assertEqual(counts, [str(len(taxa)), str(inner)])
        if dendropy is None:
            self.skipTest("dendropy is not installed")
        with open(stats_path, newline="", encoding="utf-8") as f:
            rows = {(r["node_id"], r["series"]): r for r in csv.DictReader(f, delimiter="\t")}
        taxa, nodes = read_log_tables(log)
        tree = dendropy.Tree.get(path=tree_path, schema="nexus", preserve_underscores=True)
        seen = 0
        for node in tree.preorder_node_iter():
            notes = {a.name: a.value for a in node.annotations}
            if "id" not in notes:
                continue
            seen += 1
            ids, length = nodes[int(notes["id"])]
            tips = {leaf.taxon.label for leaf in node.leaf_iter()}
            self.assertEqual(tips, {taxa[i] for i in ids})
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
        self.assertEqual(seen, len(nodes))

    def test_example(self):
        self.check_against_log(os.path.join(SOURCE, "examples", "example.log"),
                               os.path.join(SOURCE, "examples", "example.options"))

    def test_odd_taxon_names(self):
        log = os.path.join(self.dir, "odd.log")
        subprocess.run([sys.executable, os.path.join(SOURCE, "tools", "simulate_log.py"),
                        "--taxa", "12", "--samples", "80", "--out", log], check=True)
        with open(log, encoding="utf-8") as f:
            lines = f.read().split("\n")
        odd = ["it's", "a&b", "x<y", "caf\u00e9", "\u00fcber_'quoted'", "[not_a_comment]"]
        for k, name in enumerate(odd):
            lines[1 + k] = "%d\t%s" % (k, name)
        with open(log, "w", encoding="utf-8") as f:
            f.write("\n".join(lines))
        self.check_against_log(log)

    def test_bad_use_leaves_no_file(self):
        log = os.path.join(SOURCE, "examples", "example.log")
        for args in (["--color-by", "scalar_colour"], ["--tree", "missing/t.nex"]):
            run = self.run_scalesum("--svg", "p.svg", *args, log)
            self.assertEqual(run.returncode, 1)
            # One message naming the value; bad use adds the pointer to --help.
            lines = [line for line in (run.stdout + run.stderr).decode().splitlines()
                     if "--help" not in line]
            self.assertEqual(len(lines), 1, lines)
            self.assertIn(args[1], lines[0])
            self.assertEqual(os.listdir(self.dir), [])


if __name__ == "__main__":
    unittest.main()
