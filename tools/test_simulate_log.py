"""Checks that simulated logs are reproducible and well formed.

Run from the repository root: python3 -m unittest discover -s tools -p 'test_*.py'
"""

import io
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import simulate_log  # noqa: E402

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "simulate_log.py")


def render(taxa, samples, seed, **kwargs):
    write, options = simulate_log.simulate(taxa, samples, seed, **kwargs)
    out = io.StringIO()
    write(out)
    return out.getvalue(), options


def parse(text):
    """Split a log into (taxa {id: name}, node rows, sample rows of fields)."""
    lines = text.split("\n")
    assert lines[-1] == "", "log must end with a line feed"
    lines = lines[:-1]
    pos = 0
    taxon_count = int(lines[pos]); pos += 1
    taxa = {}
    for line in lines[pos:pos + taxon_count]:
        fields = line.split()
        assert len(fields) == 2, line
        taxa[int(fields[0])] = fields[1]
    pos += taxon_count
    node_count = int(lines[pos]); pos += 1
    nodes = []
    for line in lines[pos:pos + node_count]:
        fields = line.split()
        n = int(fields[2])
        assert len(fields) == 3 + n, line
        nodes.append((int(fields[0]), float(fields[1]), [int(f) for f in fields[3:]]))
    pos += node_count + 1  # the header line
    samples = [line.split() for line in lines[pos:]]
    return taxon_count, taxa, nodes, samples


class SimulatedLogTest(unittest.TestCase):

    def assert_well_formed(self, text, taxon_count, sample_count):
        count, taxa, nodes, samples = parse(text)
        self.assertEqual(count, taxon_count)
        self.assertEqual(len(taxa), taxon_count, "taxon ids are unique")
        self.assertEqual(len(set(taxa.values())), taxon_count, "taxon names are unique")
        self.assertEqual(len(nodes), 2 * taxon_count - 1)
        ids = [n[0] for n in nodes]
        self.assertEqual(len(set(ids)), len(ids), "node ids are unique")

        clades = [frozenset(n[2]) for n in nodes]
        for (node_id, length, members), clade in zip(nodes, clades):
            self.assertEqual(len(members), len(clade), "no taxon listed twice")
            self.assertTrue(clade <= set(taxa), "clade %d names unknown taxa" % node_id)
        roots = [k for k, n in enumerate(nodes) if len(n[2]) == taxon_count]
        self.assertEqual(len(roots), 1)
        root_id = nodes[roots[0]][0]
        self.assertEqual(clades[roots[0]], frozenset(taxa))
        self.assertEqual(len(set(clades)), len(clades), "clades are distinct")
        self.assertEqual({next(iter(c)) for c in clades if len(c) == 1}, set(taxa))
        for a in clades:
            for b in clades:
                self.assertTrue(a <= b or b <= a or not (a & b), "clades nest")
        for k, (node_id, length, _) in enumerate(nodes):
            if k != roots[0]:
                self.assertGreater(length, 0.0)

        self.assertEqual(len(samples), sample_count)
        iterations = [int(s[0]) for s in samples]
        self.assertEqual(iterations, sorted(set(iterations)))
        valid = set(ids) - {root_id}
        for fields in samples:
            k = int(fields[3])
            self.assertEqual(len(fields), 7 + 4 * k)
            self.assertGreater(float(fields[5]), 0.0)
            for g in range(k):
                self.assertIn(int(fields[7 + 4 * g]), valid)
                self.assertGreater(float(fields[8 + 4 * g]), 0.0)
                self.assertIn(fields[10 + 4 * g], ("Node", "Branch"))
        return taxa, nodes, samples

    def test_same_arguments_give_same_bytes_through_the_command_line(self):
        with tempfile.TemporaryDirectory() as tmp:
            outputs = []
            for name in ("a", "b", "c"):
                seed = "5" if name != "c" else "6"
                log = os.path.join(tmp, name + ".log")
                opt = os.path.join(tmp, name + ".opt")
                run = subprocess.run([sys.executable, SCRIPT, "--taxa", "15", "--samples", "60",
                                      "--seed", seed, "--out", log, "--options", opt],
                                     capture_output=True)
                self.assertEqual((run.returncode, run.stdout, run.stderr), (0, b"", b""))
                with open(log, "rb") as f, open(opt, "rb") as g:
                    outputs.append((f.read(), g.read()))
        self.assertEqual(outputs[0], outputs[1])
        self.assertNotEqual(outputs[0][0], outputs[2][0])

    def test_logs_are_well_formed_across_seeds_and_sizes(self):
        for taxa, samples, seed in [(2, 0, 1), (2, 5, 2), (1, 3, 3), (3, 20, 4),
                                    (17, 300, 5), (60, 200, 6), (60, 200, 7)]:
            with self.subTest(taxa=taxa, samples=samples, seed=seed):
                text, _ = render(taxa, samples, seed)
                self.assert_well_formed(text, taxa, samples)

    def test_chain_scales_some_branches_often_and_others_never(self):
        text, _ = render(40, 2000, 11)
        _, nodes, samples = self.assert_well_formed(text, 40, 2000)
        hits = {}
        for fields in samples:
            for g in range(int(fields[3])):
                node = int(fields[7 + 4 * g])
                hits[node] = hits.get(node, 0) + 1
        self.assertLess(len(hits), len(nodes) - 1, "some branches are never scaled")
        self.assertGreater(max(hits.values()), 0.9 * len(samples), "one is nearly always scaled")
        words = {f[10 + 4 * g] for f in samples for g in range(int(f[3]))}
        self.assertEqual(words, {"Node", "Branch"})

    def test_options_name_a_real_clade_and_the_burn_in(self):
        text, options = render(25, 100, 8, sample_every=500, burnin=12345)
        taxa, nodes, _ = parse(text)[1:]
        lines = options.splitlines()
        self.assertIn("IT 12345", lines)
        rates = [line.split() for line in lines if line.startswith("RATES ")]
        self.assertEqual(len(rates), 1)
        by_name = {name: tid for tid, name in taxa.items()}
        clade = frozenset(by_name[name] for name in rates[0][2:])
        self.assertEqual(len(clade), len(rates[0]) - 2)
        self.assertIn(clade, {frozenset(n[2]) for n in nodes})
        self.assertTrue(1 < len(clade) < len(taxa), "an internal clade below the root")

        _, options = render(25, 100, 8, sample_every=500)
        self.assertIn("IT %d" % (500 * 11), options.splitlines(), "default drops a tenth")
        _, options = render(2, 10, 8)
        self.assertFalse(any(line.startswith("RATES") for line in options.splitlines()))


if __name__ == "__main__":
    unittest.main()
