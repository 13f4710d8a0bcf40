"""Opens the page of --html in headless Chromium with every host unreachable, with scripts on
and off: it must load without a console error or a request beyond itself, draw something, hold
one tooltip per branch of the rate tree and one shift-table row per credible shift of the
statistics file, and come out byte for byte the same from a second run."""
import csv
import io
import json
import os
import subprocess
import sys
import tempfile

program, source = sys.argv[1], sys.argv[2]
try:
    from PIL import Image
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
except ImportError as missing:
    print(f"skipped: {missing.name} is missing (tools/install-deps.sh installs it)")
    sys.exit(77)
DRIVER = "/usr/bin/chromedriver"
if not os.path.exists(DRIVER):
    print("skipped: chromium-driver is missing (tools/install-deps.sh installs it)")
    sys.exit(77)


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
    with open(stats, newline="", encoding="utf-8") as f:
        rows = [r for r in csv.DictReader(f, delimiter="\t") if r["series"] == "scalar"]
    shifts = [r["node_id"] for r in rows if max(float(r["pct_up"]), float(r["pct_down"])) >= 95]
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
        assert titles == len(rows) - 1, (titles, len(rows))  # every branch but the root's
        table = driver.execute_script(
            "return Array.from(document.querySelectorAll('#shift-table tbody tr'))"
            ".map(function(r){return r.cells[0].textContent})")
        assert sorted(table) == sorted(shifts), (table, shifts)
        verdict = driver.execute_script("return document.getElementById('verdict').textContent")
        assert f"{len(shifts)} credible shift" in verdict, verdict
        # The banner's verdict and reasons are the summary file's: one per measure that breaks.
        judged = summary["verdict"]
        assert verdict.startswith("Converged." if judged["converged"] else "Not converged."), verdict
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


with tempfile.TemporaryDirectory() as work:
    shipped = os.path.join(source, "examples", "chains")
    chains = {"disagreeing": [f"{work}/chain{c}.log" for c in (1, 2, 3)],
              "converged": [f"{shipped}/run{c}.log.gz" for c in (1, 2, 3)]}
    for c, log in enumerate(chains["disagreeing"], 1):
        subprocess.run([sys.executable, f"{source}/tools/simulate_log.py", "--taxa", "16",
                        "--samples", "300", "--seed", "1", "--chain", str(c), "--out", log],
                       check=True)
    for name, (log, *others) in chains.items():
        logs = [log] + [x for other in others for x in ("-c", other)]
        logs += ["--prior", f"{shipped}/prior.log.gz"] if name == "converged" else []
        page, stats, summary = (f"{work}/{name}.{suffix}" for suffix in ("html", "tsv", "json"))
        command = [program, "-q", *logs, "--html", page, "-s", stats, "--summary", summary]
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
        first = open(page, "rb").read()
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
        assert open(page, "rb").read() == first, f"{name}: two runs wrote different pages"
        for scripts in (True, False):
            shot = check_page(page, stats, json.load(open(summary)), scripts)
            if name == "disagreeing" and scripts and os.environ.get("SCALESUM_PAGE_SHOT"):
                shot.save(os.environ["SCALESUM_PAGE_SHOT"])
print("ok")
