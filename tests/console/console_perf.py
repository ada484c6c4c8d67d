#!/usr/bin/python3
"""The console's speed on a large estate, measured from the browser.

Copies a generated estate (gxpolicy generate; 1,000,000 objects unless told
otherwise), gives the example registry's group "admins" the control
permission in every ACL, starts an administration service on it and times,
in chromium: the first view (the page loaded with a session, until the
tree's first level shows), expanding a node, and explaining a decision.
Prints the figures; asserts nothing about them (they are README's).

Usage: console_perf.py BUILD_DIR ESTATE_DB [ROUNDS]
"""
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import console_test as ct  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support import expected_conditions as EC  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402


def main():
    build, estate = os.path.abspath(sys.argv[1]), sys.argv[2]
    ct.SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
    ct.EXAMPLES = os.path.join(ct.SOURCE, "examples/policy")
    ct.GXPOLICY = os.path.join(build, "tools/gxpolicy/gxpolicy")
    ct.GXPOLICYD = os.path.join(build, "tools/gxpolicyd/gxpolicyd")
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    work = tempfile.mkdtemp(prefix="gxconsole-perf-")
    db = os.path.join(work, "master.db")
    shutil.copy(estate, db)
    shutil.copy(os.path.join(ct.EXAMPLES, "web.registry.json"), db + ".registry.json")
    os.chmod(db + ".registry.json", 0o600)
    acls = [line.split(None, 1)[1] for line in ct.run("ls", db).splitlines() if line.startswith("acl ")]
    changes = {"changes": [{"op": "set-entry", "acl": a, "entry": {"type": "group", "name": "admins", "actions": "Tc"}}
                           for a in acls]}
    with open(os.path.join(work, "grant.json"), "w") as f:
        json.dump(changes, f)
    t = time.monotonic()
    ct.run("apply", db, os.path.join(work, "grant.json"))
    print(f"granted admins c in {len(acls)} ACLs in {time.monotonic() - t:.1f} s")
    token = ct.run("token", "add", os.path.join(work, "tokens"), "erin").strip().splitlines()[-1]
    port = ct.free_port()
    base = f"http://127.0.0.1:{port}"
    daemon = subprocess.Popen([ct.GXPOLICYD, "--admin", "--db", db, "--admin-token-file", os.path.join(work, "tokens"),
                               "--listen", f"127.0.0.1:{port}", "--console-dir",
                               os.path.join(ct.SOURCE, "tools/gxpolicyd/console")], stderr=subprocess.DEVNULL)
    driver = None
    try:
        time.sleep(1)
        driver = ct.browser()
        ct.sign_in(driver, base, token)
        wait = WebDriverWait(driver, 30, poll_frequency=0.005)  # the default polls every half second
        first, expand, explain = [], [], []
        for _ in range(rounds):
            t = time.monotonic()
            driver.get(base + "/console/")
            wait.until(EC.presence_of_element_located((By.CSS_SELECTOR, 'li[data-path="/org"]')))
            first.append(time.monotonic() - t)
            path = "/org"
            for depth in range(3):
                sel = f'li[data-path="{path}"] > button.toggle'
                t = time.monotonic()
                driver.find_element(By.CSS_SELECTOR, sel).click()
                wait.until(lambda d: d.find_element(By.CSS_SELECTOR, sel).get_attribute("aria-expanded") == "true")
                expand.append(time.monotonic() - t)
                path = driver.find_element(By.CSS_SELECTOR, f'li[data-path="{path}"] > ul > li').get_attribute("data-path")
            driver.find_element(By.CSS_SELECTOR, f'li[data-path="{path}"] > button.node').click()
            wait.until(lambda d: d.find_element(By.ID, "object-title").text == path)
            driver.find_element(By.ID, "tab-ask").click()
            driver.find_element(By.ID, "ask-name").send_keys("dave")
            t = time.monotonic()
            driver.find_element(By.ID, "ask-explain").click()
            wait.until(EC.visibility_of_element_located((By.ID, "decision")))
            explain.append(time.monotonic() - t)
        for name, xs in (("first view", first), ("expand a node", expand), ("explain", explain)):
            print(f"{name}: median {statistics.median(xs) * 1000:.0f} ms, worst {max(xs) * 1000:.0f} ms ({len(xs)} times)")
    finally:
        if driver is not None:
            driver.quit()
        daemon.terminate()
        daemon.wait(30)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
