"""The shipped example chains: the simulator writes them again, they converge by every
threshold the warnings use, and the credible shifts are exactly the planted ones, each with a
finite Bayes factor against the shipped prior run."""
import csv
import gzip
import subprocess
import sys
import tempfile

program, source = sys.argv[1], sys.argv[2]
chains = source + "/examples/chains"
logs = [chains + "/run%d.log.gz" % c for c in (1, 2, 3)]


def table(path):
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f, delimiter="\t"))


def shares(path):
    """Each node's (pct_up, pct_down) of its Scalar, for the nodes of non-zero length."""
    return {r["node_id"]: (float(r["pct_up"]), float(r["pct_down"])) for r in table(path)
            if r["series"] == "scalar" and r["mean"] != "NA"}


with tempfile.TemporaryDirectory() as work:
    for name, flags in [("run%d" % c, ["--chain", str(c)]) for c in (1, 2, 3)] + \
                       [("prior", ["--prior-only"])]:
        subprocess.run([sys.executable, source + "/tools/simulate_log.py", "--converged",
                        "--taxa", "24", "--samples", "1200", "--seed", "1", "--out",
                        work + "/" + name + ".log", "--planted", work + "/planted.tsv"] + flags,
                       check=True)
        with open(work + "/" + name + ".log", "rb") as new, \
                gzip.open(chains + "/" + name + ".log.gz") as shipped:
            assert new.read() == shipped.read(), name + ".log.gz is not what the simulator writes"
    with open(work + "/planted.tsv", "rb") as new, open(chains + "/planted.tsv", "rb") as old:
        assert new.read() == old.read(), "planted.tsv is not what the simulator writes"

    run = subprocess.run([program, logs[0], "-c", logs[1], "-c", logs[2], "--credible", "95",
                          "-s", work + "/stats.tsv", "-p", work + "/params.tsv", "-o",
                          work + "/report.tsv"], capture_output=True, text=True, check=True)
    assert "warning" not in run.stderr, run.stderr
    stats, params = table(work + "/stats.tsv"), table(work + "/params.tsv")
    posterior = shares(work + "/stats.tsv")
    subprocess.run([program, "-q", chains + "/prior.log.gz", "-s", work + "/prior.tsv", "-o",
                    work + "/prior-report.tsv"], check=True)
    prior = shares(work + "/prior.tsv")

for row in stats + [r for r in params if r["chain"] == "all"]:
    where = (row.get("node_id") or row["name"], row.get("series"))
    for column, fine in (("rhat", lambda v: v < 1.01), ("ess_bulk", lambda v: v >= 300),
                         ("ess_tail", lambda v: v >= 300), ("ess", lambda v: v >= 200)):
        # Only the root, of length 0, has no figures.
        assert (row[column] == "NA") == (row["mean"] == "NA"), (where, column)
        assert row[column] == "NA" or fine(float(row[column])), (where, column, row[column])

planted = {(r["node_id"], r["shift"]) for r in table(chains + "/planted.tsv")}
found = {(node, shift) for node, (up, down) in posterior.items()
         for shift, pct in (("up", up), ("down", down)) if pct >= 95}
assert found == planted, (sorted(found), sorted(planted))
for node, shift in planted:
    k = 0 if shift == "up" else 1
    # Finite factors: the posterior share stops short of 100%, the prior's lies above 0%.
    assert posterior[node][k] < 100 and prior[node][k] > 0, (node, posterior[node], prior[node])
