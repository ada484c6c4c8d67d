#!/usr/bin/python3
"""The web console in a real browser (Debian's chromium through chromedriver).

Starts an administration service on loopback over a copy of the example
estate, then signs in, browses several levels deep, explains a denial, asks
who can and what can, changes an ACL and attachments, meets an
administrator without the control permission, hostile names, a session
that expired, checks that a change needs the session's CSRF token, and
signs out; then signs in with a client certificate over TLS (curl). A
browser or server that cannot start fails the test; nothing is skipped.

Usage: console_test.py BUILD_DIR [SOURCE_DIR]
"""
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as EC
from selenium.webdriver.support.ui import Select, WebDriverWait

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
SOURCE = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else os.path.join(os.path.dirname(__file__), "..", ".."))
GXPOLICY = os.path.join(BUILD, "tools/gxpolicy/gxpolicy")
GXPOLICYD = os.path.join(BUILD, "tools/gxpolicyd/gxpolicyd")
EXAMPLES = os.path.join(SOURCE, "examples/policy")

HOSTILE_ACL_TEXT = '<img src=x onerror=alert(1)>'
HOSTILE_OBJECT = '/web/"><img src=x onerror=alert(2)>'
HOSTILE_GROUP = '=HYPERLINK("http://attacker.example/","open")'  # a formula, should a spreadsheet open the CSV

SHOTS = os.environ.get("GXCONSOLE_SCREENSHOTS")  # a folder: README's screenshots are taken there
AXE = "/opt/gxcore-axe/node_modules/axe-core/axe.min.js"  # scripts/setup installs it

failures = []


def check(condition, what):
    print(("ok    " if condition else "FAIL  ") + what, flush=True)
    if not condition:
        failures.append(what)


def run(*args, **kw):
    return subprocess.run([GXPOLICY, *args], check=True, capture_output=True, text=True, **kw).stdout


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def estate(work):
    db = os.path.join(work, "master.db")
    run("create", db)
    with open(os.path.join(EXAMPLES, "web.registry.json")) as f:
        registry = json.load(f)
    registry["groups"].append({"name": HOSTILE_GROUP, "uuid": "5d0f3a52-31a4-4c1e-9d1e-6f0c2b7e9a10"})
    with open(db + ".registry.json", "w") as f:
        json.dump(registry, f)
    os.chmod(db + ".registry.json", 0o600)
    run("import", db, os.path.join(EXAMPLES, "web.json"))
    # The administrators hold c on the web site too, and two names an
    # attacker chose wait in the tree and in a description.
    changes = {"changes": [
        {"op": "set-entry", "acl": "web-public", "entry": {"type": "group", "name": "admins", "actions": "Tcr"}},
        {"op": "set-entry", "acl": "web-docs", "entry": {"type": "group", "name": "admins", "actions": "Tcr"}},
        {"op": "create", "object": HOSTILE_OBJECT},
        {"op": "create", "acl": "hostile", "value": {"description": HOSTILE_ACL_TEXT}},
        {"op": "set-entry", "acl": "hostile", "entry": {"type": "group", "name": "admins", "actions": "Tcr"}},
        {"op": "set-entry", "acl": "hostile", "entry": {"type": "group", "name": HOSTILE_GROUP, "actions": "Tr"}},
        {"op": "attach", "acl": "hostile", "object": HOSTILE_OBJECT},
        {"op": "create", "rule": "any-hour", "value": {"text": "request.hour >= 0", "description": "always met"}},
        {"op": "create", "pop": "lab-networks", "value": {
            "description": "the lab's network needs a stronger sign-on", "default_level": 0,
            "ipauth": [{"network": "10.9.0.0", "netmask": "255.255.0.0", "level": 1}], "attributes": {"zone": ["lab"]}}},
        {"op": "attach", "pop": "lab-networks", "object": "/web/blog/hello.html"},
        # The console decides the administrators' c at /ops with its POP's
        # weekday window: in warning mode the window only reports, so the
        # pages below do not depend on the hour the test runs at.
        {"op": "modify", "pop": "ops-window", "value": {"warning": True}},
    ]}
    path = os.path.join(work, "changes.json")
    with open(path, "w") as f:
        json.dump(changes, f)
    run("apply", db, path)
    tokens = os.path.join(work, "tokens")
    token = run("token", "add", tokens, "erin").strip().splitlines()[-1]
    # alice controls the web site (web-public gives her c) but not its documentation.
    alice = run("token", "add", tokens, "alice").strip().splitlines()[-1]
    return db, token, alice


def certificates(work):
    """A CA, the service's certificate for 127.0.0.1, erin's client
    certificate, and one for erin from a CA the service does not trust."""
    def ssl(*args):
        subprocess.run(["openssl", *args], check=True, capture_output=True, cwd=work)
    for ca in ("ca", "rogue"):
        ssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", f"/CN=test {ca}",
            "-keyout", f"{ca}.key", "-out", f"{ca}.pem")
    for name, cn, ca, ext in (("server", "127.0.0.1", "ca", "subjectAltName=IP:127.0.0.1"),
                              ("erin", "erin", "ca", "extendedKeyUsage=clientAuth"),
                              ("forged", "erin", "rogue", "extendedKeyUsage=clientAuth")):
        ssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-subj", f"/CN={cn}", "-keyout", f"{name}.key", "-out", f"{name}.csr")
        with open(os.path.join(work, f"{name}.ext"), "w") as f:
            f.write(ext + "\n")
        ssl("x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.pem", "-CAkey", f"{ca}.key", "-CAcreateserial",
            "-days", "2", "-extfile", f"{name}.ext", "-out", f"{name}.pem")
    os.chmod(os.path.join(work, "server.key"), 0o600)


def curl(work, url, cert=None, data=None, headers=()):
    """(status, headers text, body) of a request curl makes over TLS, with cert's client certificate."""
    argv = ["curl", "-s", "-D", "-", "--cacert", os.path.join(work, "ca.pem"), "--max-time", "5"]
    if cert:
        argv += ["--cert", os.path.join(work, cert + ".pem"), "--key", os.path.join(work, cert + ".key")]
    if data is not None:
        argv += ["-X", "POST", "-H", "Content-Type: application/json", "--data-binary", data]
    for h in headers:
        argv += ["-H", h]
    out = subprocess.run(argv + [url], capture_output=True, text=True)
    if out.returncode != 0:
        return 0, "", ""
    head, _, body = out.stdout.replace("\r\n", "\n").partition("\n\n")
    return int(head.split()[1]), head, body


def start(base, work, name, argv, ready="/healthz"):
    """Starts a daemon and waits until base + ready answers 200."""
    log = os.path.join(work, name + ".log")
    daemon = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=open(log, "w"))
    for _ in range(200):
        try:
            urllib.request.urlopen(base + ready, timeout=1)
            return daemon
        except OSError:
            time.sleep(0.05)
    daemon.kill()
    raise RuntimeError(f"{name} did not start: " + open(log).read())


def decision(port, question):
    request = urllib.request.Request(f"http://127.0.0.1:{port}/v1/check", data=json.dumps(question).encode(),
                                     method="POST")
    with urllib.request.urlopen(request, timeout=5) as r:
        return json.load(r)


def status_of(driver, url, method="GET", body=None):
    """The HTTP status of a request made as the page makes them (its cookies), without the CSRF header."""
    return driver.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "fetch(arguments[0], {method: arguments[1], credentials: 'same-origin', body: arguments[2],"
        " headers: {'X-Gx-Console': '1'}})"
        ".then(r => done(r.status), () => done(-1));", url, method, body)


def waiting(driver):
    """A wait of up to 10 s that looks every 20 ms (WebDriver's own looks every half second)."""
    return WebDriverWait(driver, 10, poll_frequency=0.02)


def sign_in(driver, base, token):
    wait = waiting(driver)
    driver.get(base + "/console/")
    wait.until(EC.visibility_of_element_located((By.ID, "login-form")))
    driver.find_element(By.ID, "login-token").send_keys(token)
    driver.find_element(By.ID, "login-submit").click()
    wait.until(EC.visibility_of_element_located((By.ID, "app-view")))


def open_object(driver, expand, path):
    """Expands the tree down the paths of expand, then selects path."""
    wait = waiting(driver)
    for p in expand:
        sel = f'li[data-path="{p}"] > button.toggle'
        # The tree loads after the page: wait for the node before asking it.
        if wait.until(EC.presence_of_element_located((By.CSS_SELECTOR, sel))).get_attribute("aria-expanded") != "true":
            wait.until(EC.element_to_be_clickable((By.CSS_SELECTOR, sel))).click()
            wait.until(lambda d: d.find_element(By.CSS_SELECTOR, sel).get_attribute("aria-expanded") == "true")
    wait.until(EC.element_to_be_clickable((By.CSS_SELECTOR, f'li[data-path="{path}"] > button.node'))).click()
    wait.until(lambda d: d.find_element(By.ID, "object-title").text == path)
    driver.find_element(By.ID, "tab-object").click()


def screenshot(driver, name):
    if SHOTS:
        driver.set_window_size(1400, 1500)  # the whole view, below the fold too
        driver.save_screenshot(os.path.join(SHOTS, f"console-{name}.png"))
        driver.set_window_size(1400, 1000)


def accessibility(driver, where):
    """Runs axe-core on the page; a serious or critical violation fails."""
    if not driver.execute_script("return typeof window.axe !== 'undefined'"):
        driver.execute_script(open(AXE).read())
    result = driver.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "axe.run(document, {resultTypes: ['violations']}).then(r => done(r.violations.map("
        "v => ({id: v.id, impact: v.impact, nodes: v.nodes.length}))), e => done([{id: String(e), impact: 'critical'}]));")
    bad = [v for v in result if v["impact"] in ("serious", "critical")]
    check(not bad, f"no serious accessibility violation on {where}: {bad}")


def browser():
    o = webdriver.ChromeOptions()
    o.binary_location = "/usr/bin/chromium"
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1400,1000"):
        o.add_argument(a)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=o)


def certificate_sign_in(work, port):
    """Over TLS with client certificates, as a browser would sign in (curl)."""
    tls = f"https://127.0.0.1:{port}"
    for _ in range(100):
        if curl(work, tls + "/healthz")[0] == 200:
            break
        time.sleep(0.05)
    else:
        raise RuntimeError("the TLS service did not start: " + open(os.path.join(work, "tls.log")).read())
    status, _, body = curl(work, tls + "/console/session", cert="erin")
    check(status == 401 and json.loads(body).get("certificate") == "erin",
          "the sign-in page learns that the connection carries erin's certificate")
    status, _, body = curl(work, tls + "/console/session")
    check(status == 401 and json.loads(body).get("certificate") is None, "without a certificate none is offered")
    status, _, body = curl(work, tls + "/console/login", cert="forged", data='{"certificate": true}')
    check(status in (0, 401), f"a certificate of another CA signs nobody in ({status})")
    status, head, body = curl(work, tls + "/console/login", cert="erin", data='{"certificate": true}')
    check(status == 200 and json.loads(body).get("admin") == "erin", "erin signs in with her certificate")
    cookie = re.search(r"(?im)^set-cookie: gx_session=([0-9a-f]+);.*", head)
    check(cookie is not None and all(f in cookie.group(0) for f in ("HttpOnly", "SameSite=Strict", "Secure")),
          "over TLS the session cookie is Secure too")
    if status != 200 or cookie is None:
        return
    csrf = json.loads(body)["csrf"]
    question = json.dumps({"object": "/web", "actions": "r", "user": "dave"})
    status, _, _ = curl(work, tls + "/admin/v1/explain", cert="erin", data=question,
                        headers=["Origin: https://attacker.example", "Sec-Fetch-Site: cross-site"])
    check(status == 401, "another site's page cannot use the browser's certificate for a request")
    status, _, _ = curl(work, tls + "/admin/v1/explain", cert="erin", data=question,
                        headers=[f"Origin: {tls}", f"Cookie: gx_session={cookie.group(1)}", f"X-CSRF-Token: {csrf}"])
    check(status == 200, "the console's own request with the session and its CSRF token")
    status, _, _ = curl(work, tls + "/admin/v1/explain", cert="erin", data=question)
    check(status == 200, "a program with the certificate needs no session")


def main():
    work = tempfile.mkdtemp(prefix="gxconsole-")
    daemons = []
    driver = None
    try:
        db, token, alice = estate(work)
        port, snapshots, replica_port = free_port(), free_port(), free_port()
        base = f"http://127.0.0.1:{port}"
        published = os.path.join(work, "published")
        # The master publishes each change; a replica follows it with a
        # long-poll doorbell, as README's deployment does.
        daemons.append(start(f"http://127.0.0.1:{port}", work, "admin", [
            GXPOLICYD, "--admin", "--db", db, "--admin-token-file", os.path.join(work, "tokens"),
            "--listen", f"127.0.0.1:{port}", "--console-dir", os.path.join(SOURCE, "tools/gxpolicyd/console"),
            "--admin-publish", published]))
        # The service publishes what the master holds as it starts, on a thread of its own.
        for _ in range(200):
            if os.path.exists(os.path.join(published, "manifest.json")):
                break
            time.sleep(0.05)
        else:
            raise RuntimeError("the administration service published nothing: " + open(os.path.join(work, "admin.log")).read())
        daemons.append(start(f"http://127.0.0.1:{snapshots}", work, "snapshots", [
            GXPOLICYD, "--serve-snapshots", published, "--snapshots-listen", f"127.0.0.1:{snapshots}"],
            ready="/snapshots/manifest.json"))
        snapshot_url = f"http://127.0.0.1:{snapshots}/snapshots"
        daemons.append(start(f"http://127.0.0.1:{replica_port}", work, "replica", [
            GXPOLICYD, "--db", os.path.join(work, "replica.db"), "--master", snapshot_url, "--doorbell", snapshot_url,
            "--refresh", "300", "--listen", f"127.0.0.1:{replica_port}"]))

        # The same master with sessions that end after two idle seconds,
        # and over TLS with client certificates.
        certificates(work)
        short_port, tls_port = free_port(), free_port()
        daemons.append(start(f"http://127.0.0.1:{short_port}", work, "short", [
            GXPOLICYD, "--admin", "--db", db, "--admin-token-file", os.path.join(work, "tokens"),
            "--listen", f"127.0.0.1:{short_port}", "--console-dir", os.path.join(SOURCE, "tools/gxpolicyd/console"),
            "--console-idle", "2"]))
        tls_argv = [GXPOLICYD, "--admin", "--db", db, "--listen", f"127.0.0.1:{tls_port}",
                    "--console-dir", os.path.join(SOURCE, "tools/gxpolicyd/console"),
                    "--tls-cert", os.path.join(work, "server.pem"), "--tls-key", os.path.join(work, "server.key"),
                    "--tls-client-ca", os.path.join(work, "ca.pem")]
        tls_log = open(os.path.join(work, "tls.log"), "w")
        daemons.append(subprocess.Popen(tls_argv, stdout=subprocess.DEVNULL, stderr=tls_log))

        driver = browser()
        wait = waiting(driver)
        driver.set_script_timeout(10)
        driver.get(base + "/console/")
        wait.until(EC.visibility_of_element_located((By.ID, "login-form")))
        accessibility(driver, "the sign-in page")

        # A wrong token is refused without saying more.
        driver.find_element(By.ID, "login-token").send_keys("gxt_wrong")
        driver.find_element(By.ID, "login-submit").click()
        wait.until(lambda d: d.find_element(By.ID, "login-error").text != "")
        check("not accepted" in driver.find_element(By.ID, "login-error").text, "a wrong token is refused")

        time.sleep(0.4)  # the address's wait after a failure: a quarter second (Retry-After rounds it up to 1)
        driver.find_element(By.ID, "login-token").clear()
        driver.find_element(By.ID, "login-token").send_keys(token)
        driver.find_element(By.ID, "login-submit").click()
        wait.until(lambda d: d.find_element(By.ID, "app-view").is_displayed() or d.find_element(By.ID, "login-error").text
                   not in ("", "The name and password, or the token, are not accepted."))
        check(driver.find_element(By.ID, "admin-name").text == "erin",
              "signed in as erin (" + driver.find_element(By.ID, "login-error").text + ")")
        cookie = driver.get_cookie("gx_session")
        check(cookie is not None and cookie.get("httpOnly") and cookie.get("sameSite") == "Strict",
              "the session cookie is HttpOnly and SameSite=Strict")

        def expand(path):
            sel = f'li[data-path="{path}"] > button.toggle'
            wait.until(EC.element_to_be_clickable((By.CSS_SELECTOR, sel))).click()
            wait.until(lambda d: d.find_element(By.CSS_SELECTOR, sel).get_attribute("aria-expanded") == "true")

        def choose(path):
            wait.until(EC.element_to_be_clickable((By.CSS_SELECTOR, f'li[data-path="{path}"] > button.node'))).click()
            wait.until(lambda d: d.find_element(By.ID, "object-title").text == path)

        # Browse three levels down and see what is in force there.
        expand("/web")
        expand("/web/docs")
        choose("/web/docs/guide.html")
        wait.until(lambda d: "In force" in d.find_element(By.ID, "panel-object").text)
        text = driver.find_element(By.ID, "panel-object").text
        check("ACL web-docs (attached at /web/docs)" in text, "the ACL in force and where it is inherited from")
        check("webteam" in text, "the ACL's entries are named")
        accessibility(driver, "an object's page")

        # A POP in words: its window, its warning mode, its levels by network;
        # extended attributes of the object and of what is in force.
        expand("/web/blog")
        choose("/web/blog/hello.html")
        wait.until(lambda d: "Authentication level required" in d.find_element(By.ID, "panel-object").text)
        text = driver.find_element(By.ID, "panel-object").text
        check("10.9.0.0/255.255.0.0 1" in text and "any other address 0" in text, "the POP's levels by network")
        check("Warning mode off" in text and "zone lab" in text, "the POP's warning mode and extended attributes")
        screenshot(driver, "object")
        choose("/web/docs")
        wait.until(lambda d: "In force" in d.find_element(By.ID, "panel-object").text)
        check("classification public" in driver.find_element(By.ID, "panel-object").text,
              "the object's extended attributes")
        choose("/web/blog")
        wait.until(lambda d: "Access window" in d.find_element(By.ID, "panel-object").text)
        text = driver.find_element(By.ID, "panel-object").text
        check("Access window: every day, 06:00 to 23:00 (Europe/Berlin)." in text, "a POP's access window in words")
        check("Warning mode: a denial is only reported" in text, "a POP in warning mode says so")
        choose("/web")
        wait.until(lambda d: "In force" in d.find_element(By.ID, "panel-object").text)
        check("owner web team" in driver.find_element(By.ID, "panel-object").text, "an ACL's extended attributes")
        driver.find_element(By.CSS_SELECTOR, 'li[data-path="/ops"] > button.node').click()
        wait.until(lambda d: "Access window" in d.find_element(By.ID, "panel-object").text)
        check("Access window: Monday to Friday, 07:00 to 19:00 (Europe/Berlin)." in
              driver.find_element(By.ID, "panel-object").text, "a window on weekdays names the days")

        # Search by the beginning of a path, then go to what it found.
        driver.find_element(By.ID, "jump-path").send_keys("/web/d")
        driver.find_element(By.ID, "jump-go").click()
        found = wait.until(EC.element_to_be_clickable((By.XPATH, '//ul[@id="search-results"]//button[text()="/web/docs"]')))
        check(len(driver.find_elements(By.CSS_SELECTOR, "#search-results button")) == 1, "a search by path lists what begins so")
        found.click()
        wait.until(lambda d: d.find_element(By.ID, "object-title").text == "/web/docs")
        choose("/web/docs/guide.html")

        # Explain a denial.
        driver.find_element(By.ID, "tab-ask").click()
        driver.find_element(By.ID, "ask-name").send_keys("dave")
        actions = driver.find_element(By.ID, "ask-actions")
        actions.clear()
        actions.send_keys("m")
        driver.find_element(By.ID, "ask-explain").click()
        wait.until(EC.visibility_of_element_located((By.ID, "decision")))
        check(driver.find_element(By.ID, "decision").text == "denied", "dave may not modify the guide")
        check("dave" in driver.find_element(By.ID, "reason").text, "the denial says why")
        screenshot(driver, "explain")

        # Who can, what can.
        actions.clear()
        actions.send_keys("r")
        driver.find_element(By.ID, "ask-who").click()
        wait.until(lambda d: "Who can r" in d.find_element(By.ID, "ask-result").text)
        text = driver.find_element(By.ID, "ask-result").text
        check("webteam" in text and "auditors" in text, "who can read the guide lists its groups")
        # Export CSV: the file the page hands the browser, read as it is made.
        driver.execute_script("const made = URL.createObjectURL; window.csvText = null;"
                              "URL.createObjectURL = b => { b.text().then(t => { window.csvText = t; }); return made(b); };")
        driver.find_element(By.ID, "ask-csv").click()
        csv_text = wait.until(lambda d: d.execute_script("return window.csvText"))
        check(csv_text.startswith('"Kind","Name","Permissions","Granted"\r\n') and '"group","webteam",' in csv_text,
              "the last table exported as CSV")
        choose("/web")
        driver.find_element(By.ID, "tab-ask").click()
        driver.find_element(By.ID, "ask-what").click()
        wait.until(lambda d: "Where the caller may r" in d.find_element(By.ID, "ask-result").text)
        check("/web/docs" in driver.find_element(By.ID, "ask-result").text, "what dave can read under /web")
        # Members of auditors may list the documentation; any other caller may not.
        choose("/web/docs")
        driver.find_element(By.ID, "tab-ask").click()
        Select(driver.find_element(By.ID, "ask-kind")).select_by_value("groups")
        driver.find_element(By.ID, "ask-name").clear()
        driver.find_element(By.ID, "ask-name").send_keys("auditors")
        actions.clear()
        actions.send_keys("l")
        driver.find_element(By.ID, "ask-what").click()
        wait.until(lambda d: "Where the caller may l" in d.find_element(By.ID, "ask-result").text)
        rows = [r.text for r in driver.find_elements(By.CSS_SELECTOR, "#ask-result tbody tr")]
        check(any(r.startswith("/web/docs") for r in rows), "what members of a group can reach: " + repr(rows))

        # Change an ACL entry: preview the impact, commit, see it in the log;
        # a second administrator working from the same state is told of the
        # conflict instead of overwriting the change.
        second = browser()
        try:
            sign_in(second, base, token)
            for d in (driver, second):
                open_object(d, ["/web", "/web/docs"], "/web/docs")
                waiting(d).until(EC.visibility_of_element_located((By.ID, "acl-editor")))
            driver.find_element(By.ID, "new-entry-type").send_keys("user")
            driver.find_element(By.ID, "new-entry-name").send_keys("dave")
            driver.find_element(By.ID, "new-entry-add").click()
            for letter in "Trm":  # what any other user has, and modify
                driver.find_element(By.CSS_SELECTOR, f'tr[data-name="dave"] input[data-action="{letter}"]').click()
            driver.find_element(By.ID, "acl-preview").click()
            wait.until(lambda d: "Impact" in d.find_element(By.ID, "change-result").text)
            gained = [row.text for row in driver.find_elements(By.CSS_SELECTOR, "#change-result tbody tr")]
            check("/web/docs dave Tr Tmr m" in gained, "the impact preview shows dave gaining modify: " + repr(gained))
            check(run("acl", "show", db, "web-docs").count("dave") == 0, "a preview writes nothing")
            screenshot(driver, "impact")
            driver.find_element(By.ID, "acl-commit").click()
            wait.until(EC.visibility_of_element_located((By.ID, "committed")))
            check("dave" in run("acl", "show", db, "web-docs"), "the commit changed the ACL")
            question = {"object": "/web/docs/guide.html", "actions": "m", "user": "dave"}
            deadline = time.monotonic() + 5
            while not decision(replica_port, question)["granted"] and time.monotonic() < deadline:
                time.sleep(0.05)
            check(decision(replica_port, question)["granted"], "a replica answers the change within seconds")
            driver.find_element(By.ID, "tab-history").click()
            wait.until(lambda d: "acl web-docs" in d.find_element(By.ID, "panel-history").text or
                       "web-docs" in d.find_element(By.ID, "panel-history").text)
            check("erin@" in driver.find_element(By.ID, "panel-history").text, "the log names who changed it")
            driver.find_element(By.ID, "history-who").send_keys("dave")
            check("erin@" not in driver.find_element(By.ID, "history-list").text, "the log filtered by administrator")
            driver.find_element(By.ID, "history-who").clear()
            driver.find_element(By.ID, "history-from").send_keys("2999")
            check("No change recorded" in driver.find_element(By.ID, "history-list").text, "the log filtered by time")
            driver.find_element(By.ID, "tab-object").click()

            second.find_element(By.CSS_SELECTOR, 'tr[data-type="group"] input[data-action="m"]').click()
            second.find_element(By.ID, "acl-commit").click()
            waiting(second).until(EC.visibility_of_element_located((By.ID, "acl-reload")))
            check("Someone else changed the policy" in second.find_element(By.ID, "change-result").text,
                  "a conflicting edit from a second browser is refused with a clear message")
            check("dave" in run("acl", "show", db, "web-docs"), "the first change was not overwritten")

            # alice holds c on the web site but not on its documentation:
            # the controls are there on the one, and gone on the other.
            second.find_element(By.ID, "logout").click()
            sign_in(second, base, alice)
            open_object(second, ["/web"], "/web")
            waiting(second).until(EC.visibility_of_element_located((By.ID, "acl-editor")))
            check(len(second.find_elements(By.ID, "attach")) == 1, "controls where the administrator holds c")
            open_object(second, ["/web", "/web/docs"], "/web/docs")
            waiting(second).until(EC.visibility_of_element_located((By.ID, "no-control")))
            check(not second.find_elements(By.ID, "attach") and not second.find_elements(By.ID, "acl-editor"),
                  "no control where the administrator lacks c")
        except WebDriverException:
            print("second browser's page:\n" + second.find_element(By.TAG_NAME, "body").text[:1500])
            raise
        finally:
            second.quit()

        # Attach an ACL, a POP and a rule to an object, then detach them.
        choose("/web/index.html")
        panel = lambda: driver.find_element(By.ID, "panel-object").text
        attached = [("acl", "ACL", "web-admin"), ("pop", "POP", "blog-hours-trial"), ("rule", "Rule", "any-hour")]
        for kind, label, name in attached:
            wait.until(EC.element_to_be_clickable((By.ID, "attach")))
            Select(driver.find_element(By.ID, "attach-kind")).select_by_value(kind)
            driver.find_element(By.ID, "attach-name").send_keys(name)
            driver.find_element(By.ID, "attach").click()
            wait.until(lambda d: f"{label} {name} (attached at /web/index.html)" in panel())
        check(all(f"{label} {name} (attached at /web/index.html)" in panel() for _, label, name in attached),
              "an ACL, a POP and a rule attached from the console are in force")
        for kind, label, name in attached:
            wait.until(EC.element_to_be_clickable((By.ID, "detach")))
            Select(driver.find_element(By.ID, "attach-kind")).select_by_value(kind)
            driver.find_element(By.ID, "detach").click()
            wait.until(lambda d: "In force" in panel() and f"{label} {name}" not in panel())
        check("ACL web-public (attached at /web)" in panel() and "(attached at /web/index.html)" not in panel(),
              "detached, what the parent has is in force again")

        # Hostile names are text: nothing they carry runs or becomes markup.
        driver.find_element(By.ID, "tab-object").click()
        choose("/web")
        hostile = [b for b in driver.find_elements(By.CSS_SELECTOR, "li button.node") if "onerror" in b.text]
        check(len(hostile) == 1, "the hostile object name is shown as text in the tree")
        if hostile:
            hostile[0].click()
            wait.until(lambda d: "hostile" in d.find_element(By.ID, "panel-object").text)
            check(HOSTILE_ACL_TEXT in driver.find_element(By.ID, "panel-object").text,
                  "the hostile description is shown as text")
            # A name that a spreadsheet would run as a formula is exported as text.
            driver.find_element(By.ID, "tab-ask").click()
            driver.execute_script("window.csvText = null")
            driver.find_element(By.ID, "ask-who").click()
            wait.until(lambda d: "HYPERLINK" in d.find_element(By.ID, "ask-result").text)
            driver.find_element(By.ID, "ask-csv").click()
            csv_text = wait.until(lambda d: d.execute_script("return window.csvText"))
            check('"group","\'=HYPERLINK(""http://attacker.example/"",""open"")",' in csv_text,
                  "a name beginning with = is exported as text, not as a formula")
            driver.find_element(By.ID, "tab-object").click()
        try:
            alert_ran = driver.switch_to.alert is not None
        except Exception:
            alert_ran = False
        check(not alert_ran, "no script from a name ran")
        check(driver.execute_script("return document.querySelectorAll('img').length") == 0,
              "no element was made from a name")

        # A change without the session's CSRF token is refused, even with the cookie.
        status = status_of(driver, "/admin/v1/explain", "POST", json.dumps({"object": "/web", "actions": "r"}))
        check(status == 401, "a change request without the CSRF token is refused")

        # Sign out: the session is over on the server too.
        driver.find_element(By.ID, "logout").click()
        wait.until(EC.visibility_of_element_located((By.ID, "login-form")))
        status = status_of(driver, "/admin/v1/sequence")
        check(status == 401, "after signing out the session no longer opens the API")
        driver.add_cookie({"name": "gx_session", "value": cookie["value"], "path": "/"})
        status = status_of(driver, "/console/session")
        check(status == 401, "the old session cookie is dead")

        # A session past its idle time: the page goes back to the sign-in.
        sign_in(driver, f"http://127.0.0.1:{short_port}", token)
        node = wait.until(EC.element_to_be_clickable((By.CSS_SELECTOR, 'li[data-path="/web"] > button.node')))
        time.sleep(2.5)
        node.click()
        wait.until(EC.visibility_of_element_located((By.ID, "login-form")))
        check("session has ended" in driver.find_element(By.ID, "login-error").text,
              "an expired session sends the page back to the sign-in")

        certificate_sign_in(work, tls_port)
    except (WebDriverException, OSError, subprocess.CalledProcessError, RuntimeError) as e:
        import traceback
        traceback.print_exc(limit=3)
        failures.append(f"{type(e).__name__}: {e}")
        if driver is not None:
            try:
                print(driver.find_element(By.TAG_NAME, "body").text[:2000])
            except Exception:
                pass
    finally:
        if driver is not None:
            driver.quit()
        for daemon in daemons:
            daemon.terminate()
            daemon.wait(10)
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print("console: FAILED: " + "; ".join(failures))
        return 1
    print("console: every check passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
