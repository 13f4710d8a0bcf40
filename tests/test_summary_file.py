"""Runs Scalesum with --summary, --html and --require-convergence on simulated chains, and opens
each page in headless Chromium with every host unreachable, scripts on and off: it must load
without a console error or a request beyond itself, draw something, and hold the summary's
verdict, one tooltip per branch and the statistics file's credible shifts.
Usage: test_summary_file.py SCALESUM_BINARY SOURCE_DIR; without python3-jsonschema, or selenium,
Pillow and chromium-driver, the schema or the browser checks are skipped, with a message."""
import csv
import gzip
import hashlib
import io
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

try:
    import jsonschema
except ImportError:
    jsonschema = None
try:
    from PIL import Image
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
except ImportError:
    webdriver = None
DRIVER = "/usr/bin/chromedriver"
BINARY, SOURCE = sys.argv[1], sys.argv[2]
SHIPPED = os.path.join(SOURCE, "examples", "chains")
SIMULATE = [sys.executable, os.path.join(SOURCE, "tools", "simulate_log.py"), "--seed", "1"]


def digest(path):
    with open(path, "rb") as file:
        data = file.read()
    return len(data), hashlib.sha256(data).hexdigest()


def rows(path):
    with open(path, newline="") as table:
        return list(csv.DictReader(table, delimiter="\t"))


def browser(scripts):
    options = webdriver.ChromeOptions()
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,1000",
                 "--host-resolver-rules=MAP * ~NOTFOUND"):
        options.add_argument(flag)
    if not scripts:
        options.add_experimental_option(
            "prefs", {"profile.managed_default_content_settings.javascript": 2})
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    return webdriver.Chrome(service=Service(DRIVER), options=options)


def check_page(page, stats, summary, scripts):
    """Checks the page in the browser and returns a screenshot of it."""
    scalar = [r for r in rows(stats) if r["series"] == "scalar"]
    shifts = [r["node_id"] for r in scalar if max(float(r["pct_up"]), float(r["pct_down"])) >= 95]
    url = "file://" + page
    driver = browser(scripts)
    try:
        driver.get(url)
        # The one script, which only adds sorting, ran exactly when scripts are on.
        sorting = driver.execute_script(
            "return document.querySelector('#shift-table th').hasAttribute('data-sort')")
        assert sorting == scripts, (sorting, scripts)
        errors = [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]
        assert not errors, errors
        # Every request the browser made, from the network log and the page's own account.
        requested = {json.loads(e["message"])["message"]["params"]["request"]["url"]
                     for e in driver.get_log("performance")
                     if '"Network.requestWillBeSent"' in e["message"]}
        requested |= set(driver.execute_script(
            "return performance.getEntries().filter(function(e){return e.entryType=='resource'"
            "||e.entryType=='navigation'}).map(function(e){return e.name})"))
        assert requested <= {url}, requested - {url}
        titles = driver.execute_script(
            "return document.querySelectorAll('#rate-tree svg path > title').length")
        assert titles == len(scalar) - 1, (titles, len(scalar))  # every branch but the root's
        table = driver.execute_script(
            "return Array.from(document.querySelectorAll('#shift-table tbody tr'))"
            ".map(function(r){return r.cells[0].textContent})")
        assert sorted(table) == sorted(shifts), (table, shifts)
        verdict = driver.execute_script("return document.getElementById('verdict').textContent")
        assert f"{len(shifts)} credible shift" in verdict, verdict
        # The banner's verdict and reasons are the summary file's: one per measure that breaks.
        judged = summary["verdict"]
        assert verdict.startswith("Converged." if judged["converged"] else "Not converged."), \
            verdict
        reasons = driver.execute_script(
            "return Array.from(document.querySelectorAll('#verdict li')).map(function(l)"
            "{return l.textContent})")
        breaking = [c for c in judged["checks"].values() if c["breaking"]]
        assert len(reasons) == len(breaking), (reasons, breaking)
        for check, reason in zip(breaking, reasons):
            assert reason.startswith(f"{check['breaking']} of {check['examined']} "), reason
        height = driver.execute_script("return document.documentElement.scrollHeight")
        driver.set_window_size(1280, min(height + 120, 12000))
        shot = Image.open(io.BytesIO(driver.get_screenshot_as_png())).convert("RGB")
        assert len(shot.getcolors(1 << 24) or range(2)) > 1, "the screenshot is one colour"
        return shot
    finally:
        driver.quit()


class SummaryFile(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp()
        cls.chains = [cls.path(f"c{c}.log") for c in (1, 2, 3)]
        for c, path in enumerate(cls.chains, 1):
            subprocess.run(SIMULATE + ["--taxa", "16", "--samples", "300", "--chain", str(c),
                                       "--out", path], check=True)
        cls.converged = [os.path.join(SHIPPED, f"run{c}.log.gz") for c in (1, 2, 3)]
        cls.prior = os.path.join(SHIPPED, "prior.log.gz")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    @staticmethod
    def path(name):
        return os.path.join(SummaryFile.folder, name)

    def run_scalesum(self, logs, *flags, stdin=None):
        command = [BINARY, logs[0]] + [arg for log in logs[1:] for arg in ("-c", log)]
        return subprocess.run(command + ["--summary", self.path("s.json"), *flags],
                              capture_output=True, text=True, stdin=stdin)

    def summary(self):
        with open(self.path("s.json")) as file:
            document = json.load(file)
        if jsonschema is None:
            print("SKIP schema check: python3-jsonschema is missing (tools/install-deps.sh)")
        else:
            with open(os.path.join(SOURCE, "doc", "summary.schema.json")) as file:
                jsonschema.validate(document, json.load(file))
        return document

    def check_pages(self, document, shot=None):
        if webdriver is None or not os.path.exists(DRIVER):
            print("SKIP browser checks: selenium, Pillow or chromium-driver is missing "
                  "(tools/install-deps.sh)")
            return
        for scripts in (True, False):
            picture = check_page(self.path("p.html"), self.path("st.tsv"), document, scripts)
            if shot and scripts:
                picture.save(shot)

    def test_disagreeing_chains_exit_3_with_every_output_written(self):
        outputs = {"-o": "r.tsv", "--stats": "st.tsv", "--tree": "t.nex", "-p": "p.tsv",
                   "--html": "p.html"}
        flags = [arg for flag, name in outputs.items() for arg in (flag, self.path(name))]
        run = self.run_scalesum(self.chains, "--require-convergence", "-q", *flags)
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
        # The worst R-hat is over the series and the --params columns alike.
        rhats = [float(r["rhat"]) for r in rows(self.path("st.tsv")) if r["rhat"] != "NA"]
        rhats += [float(r["rhat"]) for r in rows(self.path("p.tsv"))
                  if r["chain"] == "all" and r["rhat"] != "NA"]
        self.assertEqual(verdict["checks"]["rhat"]["worst"], max(rhats))
        self.assertEqual([(c["path"], c["bytes"], c["sha256"]) for c in document["chains"]],
                         [(log, *digest(log)) for log in self.chains])
        self.check_pages(document, os.environ.get("SCALESUM_PAGE_SHOT"))

    def test_thresholds_on_the_command_line_move_the_verdict(self):
        loose = ["--rhat-max", "10", "--ess-min", "0", "--tracer-ess-min", "0"]
        run = self.run_scalesum(self.chains, "--require-convergence", *loose)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertNotIn("warning", run.stderr)  # the warnings use them too
        document = self.summary()
        self.assertEqual(document["thresholds"],
                         {"rhat_max": 10, "ess_min": 0, "tracer_ess_min": 0})
        self.assertTrue(document["verdict"]["converged"])

    def test_converged_chains_exit_0_with_their_planted_shifts_and_the_same_bytes_twice(self):
        flags = ["--require-convergence", "-v", "-o", os.devnull, "-s", self.path("st.tsv"),
                 "--prior", self.prior, "--html", self.path("p.html")]
        run = self.run_scalesum(self.converged, *flags)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertTrue(run.stderr.endswith(", converged\n"), run.stderr)
        self.assertNotIn("warning", run.stderr)
        first = [digest(self.path(name)) for name in ("s.json", "p.html")]
        document = self.summary()
        self.assertEqual([(p["path"], p["bytes"], p["sha256"], p["retained_samples"])
                          for p in document["priors"]], [(self.prior, *digest(self.prior), 1200)])
        credible = {(int(r["node_id"]), r["taxa"], float(r["pct_" + way]), float(r["bf_" + way]))
                    for r in rows(self.path("st.tsv")) if r["series"] == "scalar"
                    for way in ("up", "down") if float(r["pct_" + way]) >= 95}
        shifts = document["credible_shifts"]
        self.assertEqual({(s["node"], ",".join(s["taxa"]), s["share"], s["bayes_factor"])
                          for s in shifts}, credible)
        # Exactly the planted shifts, each with a finite Bayes factor.
        planted = {(int(r["node_id"]), r["shift"])
                   for r in rows(os.path.join(SHIPPED, "planted.tsv"))}
        self.assertEqual(sorted((s["node"], "up" if s["direction"] == "increase" else "down")
                                for s in shifts), sorted(planted))
        self.assertTrue(all(math.isfinite(s["bayes_factor"]) for s in shifts), shifts)
        self.check_pages(document)
        self.run_scalesum(self.converged, *flags)
        self.assertEqual([digest(self.path(name)) for name in ("s.json", "p.html")], first)

    def test_the_simulator_writes_the_shipped_chains_again(self):
        for name, flags in [(f"run{c}", ["--chain", str(c)]) for c in (1, 2, 3)] + \
                           [("prior", ["--prior-only"])]:
            subprocess.run(SIMULATE + ["--converged", "--taxa", "24", "--samples", "1200", "--out",
                                       self.path(name), "--planted", self.path("planted.tsv"),
                                       *flags], check=True)
            with gzip.open(os.path.join(SHIPPED, name + ".log.gz")) as old:
                self.assertEqual(digest(self.path(name))[1], hashlib.sha256(old.read()).hexdigest())
        self.assertEqual(digest(self.path("planted.tsv")),
                         digest(os.path.join(SHIPPED, "planted.tsv")))

    def test_a_log_from_standard_input_is_digested_as_read(self):
        with open(self.converged[0], "rb") as log:
            run = self.run_scalesum(["-"], "-q", "-o", os.devnull, stdin=log)
        self.assertEqual(run.returncode, 0, run.stderr)
        chain = self.summary()["chains"][0]
        self.assertEqual((chain["path"], chain["bytes"], chain["sha256"]),
                         ("-", *digest(self.converged[0])))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
