#!/usr/bin/env python3
"""Write a synthetic variable-rates sample log (and optionally an options file).

The log describes a random rooted binary tree of --taxa taxa as a taxa table
and a node table of clades, followed by one header line and --samples sample
lines from a simulated chain.  In the chain, branch and subtree scalars are
born, change value and die over time; some branches are never scaled, a few
are scaled almost always, scalar values are heavy-tailed, and the sample's
rate value (sigma) follows a log-AR(1) process that starts away from its
stationary level, so the first samples look like a burn-in.  With --drift
the scalars live fifty times longer and change in small steps, and sigma
wanders slowly, so every series drifts and its autocorrelations stay positive
for many lags, as in a chain that mixes badly.

With --converged the chains of a seed instead agree: each draws from one regime in which
every branch is scaled now and then, evenly up and down, except a few planted shifts (a clade
and some branches scaled one way in nearly every sample); --prior-only samples the same
analysis without them, and --planted lists the nodes they move.

Output depends only on the arguments: the same arguments give the same bytes.
Python 3 standard library only.
"""

import argparse
import math
import random
import sys
from bisect import bisect_right
from itertools import accumulate

# A log line, line feed included, must fit in the reader's 655360-byte buffer.
MAX_LINE_BYTES = 655359

_GENUS_HEADS = ["Ar", "Bel", "Cor", "Dal", "Eph", "Fen", "Gal", "Hel", "Ist", "Kal",
                "Lor", "Mar", "Nem", "Orn", "Pel", "Quer", "Rho", "Sal", "Tar", "Ven",
                "Xen", "Zor", "Cal", "Thal", "Pter", "Mel", "Sten", "Lep"]
_GENUS_MIDS = ["a", "e", "i", "o", "u", "ae", "io", "ori", "ela", "ano", "yth", "ur"]
_GENUS_TAILS = ["nax", "don", "mys", "therium", "saurus", "ops", "lestes", "gale",
                "bates", "cerus", "pus", "nyx", "ella", "ina", "ura"]
_EPITHET_HEADS = ["alb", "nigr", "rub", "vel", "ten", "grac", "magn", "parv", "long",
                  "brev", "sylv", "mont", "aqu", "occid", "orient", "aust", "bor",
                  "fusc", "flav", "ciner", "striat", "macul", "hirs", "glabr"]
_EPITHET_TAILS = ["us", "a", "um", "is", "ens", "icus", "ulus", "escens", "inus",
                  "atus", "osus", "ior"]


def _taxon_names(rng, count):
    """Return `count` distinct binomial-looking names without whitespace."""
    names = []
    seen = set()
    genera = []
    while len(names) < count:
        # Related taxa share a genus now and then, as in real data sets.
        if genera and rng.random() < 0.45:
            genus = rng.choice(genera)
        else:
            genus = (rng.choice(_GENUS_HEADS) + rng.choice(_GENUS_MIDS) +
                     rng.choice(_GENUS_TAILS))
            genera.append(genus)
        name = genus + "_" + rng.choice(_EPITHET_HEADS) + rng.choice(_EPITHET_TAILS)
        if name in seen:
            name = "%s_%d" % (name, len(names) + 1)
            if name in seen:
                continue
        seen.add(name)
        names.append(name)
    return names


class Tree:
    """A rooted binary tree; nodes 0..T-1 are the tips (taxon indices)."""

    def __init__(self, rng, taxa):
        self.taxa = taxa
        self.children = [[] for _ in range(taxa)]
        pool = list(range(taxa))
        # Random pairwise joins give a random topology with varied balance.
        while len(pool) > 1:
            a = pool.pop(rng.randrange(len(pool)))
            b = pool.pop(rng.randrange(len(pool)))
            self.children.append([a, b])
            pool.append(len(self.children) - 1)
        self.root = pool[0]
        self.size = len(self.children)

    def preorder(self):
        order = []
        stack = [self.root]
        while stack:
            n = stack.pop()
            order.append(n)
            stack.extend(reversed(self.children[n]))
        return order

    def postorder(self):
        order = []
        stack = [(self.root, False)]
        while stack:
            n, expanded = stack.pop()
            if expanded or not self.children[n]:
                order.append(n)
            else:
                stack.append((n, True))
                stack.extend((c, False) for c in reversed(self.children[n]))
        return order

    def clades(self):
        """Taxon indices below every node, in left-to-right tree order."""
        below = [None] * self.size
        for n in self.postorder():
            kids = self.children[n]
            if kids:
                below[n] = [t for c in kids for t in below[c]]
            else:
                below[n] = [n]
        return below


def _branch_lengths(rng, tree):
    """Positive printed branch lengths; the root's is 0."""
    text = [None] * tree.size
    for n in range(tree.size):
        if n == tree.root:
            text[n] = "0"
            continue
        shape = 1.6 if n < tree.taxa else 0.9
        value = rng.gammavariate(shape, 0.035)
        roll = rng.random()
        if roll < 0.03:
            # Very short internal branches appear in exponent form.
            value = rng.uniform(1e-6, 9e-5)
            text[n] = "%.3g" % value
        elif roll < 0.30:
            # Lengths rounded to three decimals, so several coincide.
            text[n] = "%g" % max(0.001, round(value, 3))
        else:
            text[n] = "%.6g" % max(value, 1e-6)
    return text


def _layout(rng, tree, taxon_ids):
    """Choose a node-table order and node ids; return (order, ids, clades)."""
    below = tree.clades()
    if rng.random() < 0.5:
        # Tips first, in taxon order, then internal nodes in post-order.
        internal = [n for n in tree.postorder() if tree.children[n]]
        order = list(range(tree.taxa)) + internal
        ids = {}
        for n in range(tree.taxa):
            ids[n] = taxon_ids[n]
        base = max(taxon_ids) + 1
        for k, n in enumerate(internal):
            ids[n] = base + k
        clades = {n: sorted(taxon_ids[t] for t in below[n]) for n in order}
    else:
        # Root first, nodes in pre-order, numbered by position from a random start.
        order = tree.preorder()
        start = rng.choice([0, 1, 100])
        ids = {n: start + k for k, n in enumerate(order)}
        clades = {n: [taxon_ids[t] for t in below[n]] for n in order}
    return order, ids, clades


def _poisson(rng, mean):
    """Knuth's method; fine for the small means used here."""
    limit = math.exp(-mean)
    k = 0
    p = rng.random()
    while p > limit:
        k += 1
        p *= rng.random()
    return k


class _NodeHabit:
    """How the chain treats one non-root node."""
    __slots__ = ("weight", "death", "mu", "node_share", "hot")

    def __init__(self, weight, death, mu, node_share, hot):
        self.weight = weight
        self.death = death
        self.mu = mu
        self.node_share = node_share
        self.hot = hot


def _habits(rng, tree, candidates):
    habits = {}
    hot_count = min(len(candidates), max(1, len(candidates) // 50))
    hot = set(rng.sample(candidates, hot_count)) if candidates else set()
    for n in candidates:
        is_tip = n < tree.taxa
        node_share = rng.choice([0.1, 0.2]) if is_tip else rng.choice([0.0, 0.3, 0.6, 0.9, 1.0])
        if n in hot:
            # One type word only, so the node carries a single long-lived scalar.
            habits[n] = _NodeHabit(0.0, rng.uniform(0.002, 0.01), rng.gauss(0.9, 0.5),
                                   rng.choice([0.0, 1.0]), True)
        elif rng.random() < 0.35:
            habits[n] = _NodeHabit(0.0, 1.0, 0.0, node_share, False)  # never scaled
        else:
            habits[n] = _NodeHabit(rng.lognormvariate(0.0, 1.5), rng.uniform(0.03, 0.3),
                                   rng.gauss(0.0, 0.6), node_share, False)
    return habits


def _fresh_scalar(rng, habit):
    if rng.random() < 0.03:
        return math.exp(rng.uniform(2.5, 6.0))  # an occasional very large scalar
    return math.exp(rng.gauss(habit.mu, 0.8))


def _sample_lines(rng, tree, ids, samples, sample_every, trailing_tab, drift=False):
    """Yield the sample lines of the simulated chain, line feeds included."""
    # Drift changes constants only, never the draws, so a log without it keeps its bytes.
    slow = 0.02 if drift else 1.0
    step = 0.05 if drift else 0.25
    keep, pull = (0.998, 0.002) if drift else (0.96, 0.04)
    candidates = [n for n in range(tree.size) if n != tree.root]
    habits = _habits(rng, tree, candidates)
    ordinary = [n for n in candidates if habits[n].weight > 0.0]
    hot = [n for n in candidates if habits[n].hot]
    cum_weights = list(accumulate(habits[n].weight for n in ordinary))
    total_weight = cum_weights[-1] if cum_weights else 0.0
    target_active = min(30.0, 2.0 + 0.02 * len(candidates))
    birth_mean = target_active * 0.15 * slow if ordinary else 0.0

    active = {}  # (node, type word) -> [scalar, iteration created]
    tau = max(1.0, samples / 40.0)
    sigma_mu = rng.uniform(-1.5, 1.0)
    log_sigma = sigma_mu + 2.0
    lh_target = -rng.uniform(2000.0, 40000.0) * max(1.0, tree.taxa / 50.0)
    lh_noise = 0.0
    rate = rng.uniform(0.5, 2.0)
    end = "\t\n" if trailing_tab else "\n"

    for t in range(samples):
        iteration = (t + 1) * sample_every
        accepted = 0
        for key in list(active):
            entry = active[key]
            if rng.random() < habits[key[0]].death * slow:
                del active[key]
                accepted += 1
            elif rng.random() < 0.3:
                entry[0] *= math.exp(rng.gauss(0.0, step))
                accepted += 1
        births = [n for n in hot if rng.random() < 0.3 * slow]
        if total_weight > 0.0:
            for _ in range(_poisson(rng, birth_mean)):
                k = bisect_right(cum_weights, rng.random() * total_weight)
                births.append(ordinary[min(k, len(ordinary) - 1)])
        for n in births:
            habit = habits[n]
            word = "Node" if rng.random() < habit.node_share else "Branch"
            key = (n, word)
            if key in active:
                if habit.hot:
                    continue
                active[key][0] *= math.exp(rng.gauss(0.0, 0.4))
            else:
                born = iteration - rng.randrange(sample_every)
                active[key] = [_fresh_scalar(rng, habit), born]
            accepted += 1

        decay = math.exp(-t / tau)
        log_sigma = keep * log_sigma + pull * (sigma_mu + 2.0 * decay) + rng.gauss(0.0, 0.08)
        lh_noise = 0.9 * lh_noise + rng.gauss(0.0, 4.0)
        lh = lh_target * (1.0 + 0.15 * decay) + lh_noise
        prior = -3.0 * len(active) - 0.5 * log_sigma * log_sigma + rng.gauss(0.0, 0.5)
        rate = max(1e-4, rate * math.exp(rng.gauss(0.0, 0.05)))

        parts = ["%d\t%.6f\t%.6f\t%d\t%.6g\t%r\t%d" % (
            iteration, lh, lh + prior, len(active), rate, math.exp(log_sigma), accepted)]
        for (n, word), (scalar, born) in active.items():
            parts.append("%d\t%r\t%d\t%s" % (ids[n], scalar, born, word))
        line = "\t".join(parts) + end
        if len(line) > MAX_LINE_BYTES:
            raise ValueError("sample line %d is longer than %d bytes" % (t, MAX_LINE_BYTES))
        yield line


def _check_counts(samples, sample_every):
    if samples < 0:
        raise ValueError("--samples must not be negative")
    if sample_every < 1:
        raise ValueError("--sample-every must be at least 1")


def _pick_rates_clade(rng, tree, order, below):
    """A non-root internal clade of modest size, or None when there is none."""
    internal = [n for n in order if tree.children[n] and n != tree.root]
    if not internal:
        return None
    limit = max(3, tree.taxa // 3)
    modest = [n for n in internal if len(below[n]) <= limit]
    return rng.choice(modest or internal)


def _tables(rng, taxa):
    """Draw an analysis' taxa, tree, lengths and node-table layout, in that order."""
    names = _taxon_names(rng, taxa)
    first_id = rng.choice([0, 1])
    taxon_ids = [first_id + k for k in range(taxa)]
    tree = Tree(rng, taxa)
    lengths = _branch_lengths(rng, tree)
    order, ids, clades = _layout(rng, tree, taxon_ids)
    return names, taxon_ids, tree, lengths, order, ids, clades


def simulate(taxa, samples, seed, sample_every=1000, burnin=None, chain=1, drift=False):
    """Return (log writer, options text) for the given run.

    The log writer is a callable taking a text file object.  The options text
    is computed eagerly; burnin=None drops roughly the first tenth of samples.
    Chains 2, 3, ... of a seed log the same tree with samples of their own.
    """
    if taxa < 1:
        raise ValueError("--taxa must be at least 1")
    _check_counts(samples, sample_every)

    rng = random.Random(seed)
    names, taxon_ids, tree, lengths, order, ids, clades = _tables(rng, taxa)
    below = tree.clades()
    trailing_tab = rng.random() < 0.5

    if burnin is None:
        burnin = sample_every * (samples // 10 + 1)
    options = ["IT %d" % burnin, "NOCATS 1000"]
    chosen = _pick_rates_clade(rng, tree, order, below)
    if chosen is not None:
        members = [names[t] for t in below[chosen]]
        rng.shuffle(members)
        options.append("RATES focal " + " ".join(members))
    options_text = "\n".join(options) + "\n"

    chain_seed = rng.getrandbits(64) + (chain - 1)

    def write(out):
        _write_tables(out, names, taxon_ids, tree, lengths, order, ids, clades)
        _write_lines(out, _sample_lines(random.Random(chain_seed), tree, ids, samples,
                                        sample_every, trailing_tab, drift))

    return write, options_text


def _write_tables(out, names, taxon_ids, tree, lengths, order, ids, clades):
    """Write the taxa table, the node table and the header line."""
    head = ["%d" % len(names)]
    head += ["%d\t%s" % (taxon_ids[k], names[k]) for k in range(len(names))]
    head.append("%d" % tree.size)
    for n in order:
        line = "%d\t%s\t%d\t%s" % (ids[n], lengths[n], len(clades[n]),
                                   "\t".join(map(str, clades[n])))
        if len(line) + 1 > MAX_LINE_BYTES:
            raise ValueError("node line is longer than %d bytes" % MAX_LINE_BYTES)
        head.append(line)
    head.append("Iter\tLogLik\tLogPost\tNScalars\tScalarRate\tSigma\tAccepted\t"
                "NodeID\tScalar\tBorn\tKind ...")
    out.write("\n".join(head) + "\n")


def _write_lines(out, lines):
    """Write the sample lines in chunks, so that a long log is never held whole."""
    chunk = []
    for line in lines:
        chunk.append(line)
        if len(chunk) == 2000:
            out.write("".join(chunk))
            chunk = []
    out.write("".join(chunk))


# The regime of the converged chains.  Each sample carries a branch scalar on a node with
# chance _BACKGROUND_BRANCH and a subtree scalar on an internal node with chance
# _BACKGROUND_NODE, of a log value symmetric about 0, as the prior draws them: the data move
# only the planted shifts.  A planted scalar is present in _PLANTED_SHARE of the samples at
# about _PLANTED_FACTOR (or its inverse), so that its share stays short of 1 and its Bayes
# factor finite.  Each sample redraws a scalar with chance _REFRESH and keeps it otherwise,
# as a sampler that mixes fast.
_BACKGROUND_BRANCH = 0.03
_BACKGROUND_NODE = 0.01
_BACKGROUND_LOG_SD = 1.0
_PLANTED_SHARE = 0.99
_PLANTED_FACTOR = 4.0
_PLANTED_LOG_SD = 0.25
_REFRESH = 0.7


def _subtree(tree, node):
    """The nodes below `node`, itself included."""
    nodes, stack = [], [node]
    while stack:
        n = stack.pop()
        nodes.append(n)
        stack.extend(tree.children[n])
    return nodes


def _plant(rng, tree, below):
    """Choose the planted shifts: [(node, "up" or "down", "Branch" or "Node")].

    One clade of a few taxa shifts as a whole; up to three branches outside it shift alone.
    No planted node lies below another, so each node's share comes from one planted scalar.
    """
    planted = []
    taken = set()  # planted subtrees and the paths above them
    parent = {c: n for n in range(tree.size) for c in tree.children[n]}

    def take(node, direction, word):
        planted.append((node, direction, word))
        taken.update(_subtree(tree, node))
        n = node
        while n in parent:
            n = parent[n]
            taken.add(n)

    limit = max(3, tree.taxa // 5)
    clades = [n for n in range(tree.taxa, tree.size)
              if n != tree.root and 3 <= len(below[n]) <= limit]
    if clades:
        take(rng.choice(clades), rng.choice(["up", "down"]), "Node")
    directions = ["up", "down", "up"]
    rng.shuffle(directions)
    for direction in directions:
        free = [n for n in range(tree.size) if n != tree.root and n not in taken]
        if not free:
            break
        take(rng.choice(free), direction, "Branch")
    return planted


def _converged_lines(rng, ids, regime, levels, samples, sample_every, prior_only):
    """Yield the sample lines of one chain drawn from `regime`, line feeds included.

    `regime` maps (node, type word) to (chance of a scalar, mean and sd of its log);
    `levels` holds the likelihood and log sigma about which every chain varies.
    """
    keys = list(regime)
    state = {}  # key -> [scalar, iteration created]
    lh_target, sigma_mu = levels
    log_sigma, lh_noise = sigma_mu, 0.0
    for t in range(samples):
        iteration = (t + 1) * sample_every
        accepted = 0
        for key in keys:
            if t > 0 and rng.random() >= _REFRESH:
                continue
            chance, mu, sd = regime[key]
            if rng.random() < chance:
                born = iteration - rng.randrange(sample_every)
                state[key] = [math.exp(rng.gauss(mu, sd)), born]
                accepted += 1
            elif state.pop(key, None) is not None:
                accepted += 1
        log_sigma = sigma_mu + 0.3 * (log_sigma - sigma_mu) + rng.gauss(0.0, 0.1)
        lh_noise = 0.3 * lh_noise + rng.gauss(0.0, 5.0)
        lh = 0.0 if prior_only else lh_target + lh_noise
        prior = -3.0 * len(state) - 0.5 * log_sigma * log_sigma + rng.gauss(0.0, 0.5)
        rate = math.exp(rng.gauss(0.0, 0.05))
        parts = ["%d\t%.6f\t%.6f\t%d\t%.6g\t%.6g\t%d" % (
            iteration, lh, lh + prior, len(state), rate, math.exp(log_sigma), accepted)]
        for key in keys:
            if key in state:
                scalar, born = state[key]
                parts.append("%d\t%.6g\t%d\t%s" % (ids[key[0]], scalar, born, key[1]))
        yield "\t".join(parts) + "\n"


def simulate_converged(taxa, samples, seed, sample_every=1000, chain=1, prior_only=False):
    """Return (log writer, planted-shifts text) for one chain of a converged analysis.

    Every chain of a seed samples the same regime on the same tree, from its first sample on,
    so no burn-in is needed; prior_only draws every scalar from the prior instead.  The text
    lists every node whose Scalar a planted scalar moves, one line each.
    """
    if taxa < 2:
        raise ValueError("--converged needs at least 2 taxa")
    _check_counts(samples, sample_every)

    rng = random.Random(seed)
    names, taxon_ids, tree, lengths, order, ids, clades = _tables(rng, taxa)
    below = tree.clades()
    planted = _plant(rng, tree, below)
    regime = {}
    for n in order:
        if n != tree.root:
            regime[(n, "Branch")] = (_BACKGROUND_BRANCH, 0.0, _BACKGROUND_LOG_SD)
            if tree.children[n]:
                regime[(n, "Node")] = (_BACKGROUND_NODE, 0.0, _BACKGROUND_LOG_SD)
    moved = {}
    for node, direction, word in planted:
        log_factor = math.log(_PLANTED_FACTOR) * (1.0 if direction == "up" else -1.0)
        if not prior_only:
            regime[(node, word)] = (_PLANTED_SHARE, log_factor, _PLANTED_LOG_SD)
        for n in (_subtree(tree, node) if word == "Node" else [node]):
            moved[n] = (direction, node, word)
    rows = ["node_id\tshift\tscaled_by\ttype"]
    rows += ["%d\t%s\t%d\t%s" % (ids[n], moved[n][0], ids[moved[n][1]], moved[n][2])
             for n in order if n in moved]
    levels = (-rng.uniform(2000.0, 6000.0), rng.uniform(-1.0, 0.5))
    base = rng.getrandbits(64)
    chain_seed = base + (chain - 1) + (1 << 32 if prior_only else 0)

    def write(out):
        _write_tables(out, names, taxon_ids, tree, lengths, order, ids, clades)
        _write_lines(out, _converged_lines(random.Random(chain_seed), ids, regime, levels,
                                           samples, sample_every, prior_only))

    return write, "\n".join(rows) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--taxa", type=int, required=True, help="number of taxa (at least 1)")
    parser.add_argument("--samples", type=int, required=True, help="number of sample lines")
    parser.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    parser.add_argument("--out", required=True, help="path of the log to write")
    parser.add_argument("--options", help="also write an options file to this path")
    parser.add_argument("--burnin", type=int,
                        help="iteration for the IT line of the options file "
                             "(default: drops about the first tenth of the samples)")
    parser.add_argument("--sample-every", type=int, default=1000,
                        help="iterations between samples (default 1000)")
    parser.add_argument("--chain", type=int, default=1,
                        help="which chain of the seed's analysis: the same tree, other "
                             "samples (default 1)")
    parser.add_argument("--drift", action="store_true",
                        help="make every series drift: long-lived, slowly changing scalars "
                             "and a slowly wandering sigma")
    parser.add_argument("--converged", action="store_true",
                        help="chains that agree: every chain of the seed samples one regime "
                             "with planted rate shifts, from its first sample on")
    parser.add_argument("--prior-only", action="store_true",
                        help="with --converged: the same analysis sampled from the prior alone")
    parser.add_argument("--planted", help="with --converged: write the planted shifts to this "
                                          "path as a table (node_id, shift, scaled_by, type)")
    args = parser.parse_args(argv)
    if args.burnin is not None and args.options is None:
        parser.error("--burnin needs --options")
    if not args.converged and (args.prior_only or args.planted is not None):
        parser.error("--prior-only and --planted need --converged")
    if args.converged and args.options is not None:
        parser.error("--converged chains need no options file: they have no burn-in")
    try:
        if args.converged:
            write, extra = simulate_converged(args.taxa, args.samples, args.seed,
                                              args.sample_every, args.chain, args.prior_only)
            extra_path = args.planted
        else:
            write, extra = simulate(args.taxa, args.samples, args.seed, args.sample_every,
                                    args.burnin, args.chain, args.drift)
            extra_path = args.options
        with open(args.out, "w", encoding="ascii", newline="\n") as out:
            write(out)
        if extra_path is not None:
            with open(extra_path, "w", encoding="ascii", newline="\n") as out:
                out.write(extra)
    except (ValueError, OSError) as err:
        print("simulate_log: %s" % err, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
