"""The tree file and the picture as their readers see them; a reader that is missing is skipped.
CTest passes the built Scalesum and the source folder in SCALESUM_BINARY and SCALESUM_SOURCE_DIR."""

import csv
import importlib.util
import math
import os
import re
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
                                "--scaled-tree", "scaled.nex", log, *extra)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        taxa, nodes = read_log_tables(log)
        tree_path = os.path.join(self.dir, "t.nex")
        if shutil.which("xmllint"):
            subprocess.run(["xmllint", "--noout", os.path.join(self.dir, "p.svg")], check=True)
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
                for column in ("pct_changed", "pct_up", "pct_down"):
                    self.assertEqual(float(notes[column]), float(row[column]))
                for column, suffix in STATISTICS.items():  # a missing value is left out
                    self.assertEqual(notes.get(series + suffix) and float(notes[series + suffix]),
                                     None if row[column] == "NA" else float(row[column]), suffix)
                if series == "scalar":
                    up, down = float(row["pct_up"]) >= 95, float(row["pct_down"]) >= 95
                    self.assertEqual(notes.get("shift"), "up" if up else "down" if down else None)
                hpd = [row["hpd_lower"], row["hpd_upper"]]
                self.assertEqual([float(v) for v in notes.get(series + "_95%_HPD", [])],
                                 [] if "NA" in hpd else [float(v) for v in hpd])

        # The rate-scaled tree: each length L times the Scalar's mean m in the statistics file,
        # multiplied in double; the logged L where m is not finite.
        scaled_path = os.path.join(self.dir, "scaled.nex")
        scaled = dendropy.Tree.get(path=scaled_path, schema="nexus", preserve_underscores=True)
        for node in scaled:
            notes = {a.name: a.value for a in node.annotations}
            if node is scaled.seed_node or "id" not in notes:
                continue
            _, length = nodes[int(notes["id"])]
            mean = rows[(notes["id"], "scalar")]["mean"]
            finite = mean != "NA" and math.isfinite(float(mean))
            expected = length * float(mean) if finite and length != 0 else length
            self.assertEqual(node.edge.length, expected, notes["id"])
            self.assertEqual(notes.get("scaled"), None if finite or length == 0 else "no")
        lengths = sorted(node.edge.length for node in scaled if node is not scaled.seed_node)
        if shutil.which("Rscript"):
            read = subprocess.run(
                ["Rscript", "-e", "if (requireNamespace('ape', quietly = TRUE)) cat(sprintf("
                 "'%.17g', ape::read.nexus(commandArgs(TRUE)[1])$edge.length), sep = '\\n')",
                 scaled_path], capture_output=True, check=True, text=True).stdout.split()
            if read:
                self.assertEqual(sorted(float(v) for v in read), lengths)

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


    def test_pictures_of_big_trees_fit_and_render(self):
        log = os.path.join(self.dir, "big.log")
        subprocess.run([sys.executable, os.path.join(SOURCE, "tools", "simulate_log.py"),
                        "--taxa", "5000", "--samples", "5", "--out", log], check=True)
        for layout in ("rectangular", "circular"):
            run = self.run_scalesum("-q", "--svg", "p.svg", "--layout", layout, "-o", "/dev/null",
                                    log)
            self.assertEqual(run.returncode, 0, run.stdout)
            with open(os.path.join(self.dir, "p.svg"), encoding="utf-8") as f:
                svg = f.read()
            size = map(float, re.search(r'width="(\d+)" height="(\d+)"', svg).groups())
            self.assertTrue(max(size) <= 32000, layout)
            # The rows get too thin for labels, but the circle still has room.
            self.assertEqual(svg.count("</text>") > 5000, layout == "circular")
            if shutil.which("xmllint") and shutil.which("rsvg-convert"):
                subprocess.run(["xmllint", "--noout", os.path.join(self.dir, "p.svg")], check=True)
                subprocess.run(["rsvg-convert", "-z", "0.05", "-o", os.path.join(self.dir, "p.png"),
                                os.path.join(self.dir, "p.svg")], check=True)

    def test_figtree_draws_every_branch(self):
        jar = "/usr/share/java/figtree.jar"
        if not shutil.which("java") or not os.path.exists(jar):
            self.skipTest("Java or FigTree is not installed")
        run = self.run_scalesum("-q", "--tree", "t.nex", "--scaled-tree", "s.nex", "-o", "r.tsv",
                                os.path.join(SOURCE, "examples", "example.log"),
                                os.path.join(SOURCE, "examples", "example.options"))
        self.assertEqual(run.returncode, 0, run.stdout)
        tips = 16
        for name in ("t", "s"):
            subprocess.run(["java", "-Djava.awt.headless=true", "-jar", jar, "-graphic", "SVG",
                            "-width", "900", "-height", "900", name + ".nex", name + ".svg"],
                           cwd=self.dir, check=True, capture_output=True)
            with open(os.path.join(self.dir, name + ".svg"), encoding="utf-8") as f:
                paths = re.findall(r"<path[^>]*>", f.read())
            # Each branch is a path that starts with a horizontal stroke; one drawn in white
            # does not count.
            drawn = [p for p in paths if re.search(r'd="M[\d.]+ ([\d.]+) L[\d.]+ \1[ "]', p)
                     and "255,255,255" not in p and "white" not in p]
            self.assertGreaterEqual(len(drawn), 2 * tips - 2, name)


if __name__ == "__main__":
    unittest.main()
