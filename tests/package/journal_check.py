#!/usr/bin/env python3
"""gxpolicyd as systemd starts it: standard error is the journal's stream
(JOURNAL_STREAM names it), so log lines and audit records go to the journal
as entries with fields of their own. Run as root inside a private mount
namespace whose /run/systemd/journal is a fresh tmpfs (scripts/check-package
does this): this script is the journal, reading the native protocol's
datagrams on /run/systemd/journal/socket.

    journal_check.py GXPOLICYD DB REGISTRY
"""
import json, os, signal, socket, struct, subprocess, sys, time, urllib.request

gxpolicyd, db, registry = sys.argv[1:4]
journal = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
journal.bind("/run/systemd/journal/socket")
journal.settimeout(10)

def fields(datagram):
    """The entry's fields: KEY=value lines, or KEY, a 64-bit length and the bytes."""
    out, i = {}, 0
    while i < len(datagram):
        nl = datagram.index(b"\n", i)
        line = datagram[i:nl]
        if b"=" in line:
            key, value = line.split(b"=", 1)
            i = nl + 1
        else:
            key = line
            (n,) = struct.unpack("<Q", datagram[nl + 1:nl + 9])
            value = datagram[nl + 9:nl + 9 + n]
            i = nl + 9 + n + 1
        out[key.decode()] = value.decode()
    return out

with open(os.path.join(os.path.dirname(db), "stderr"), "wb") as err:
    st = os.fstat(err.fileno())
    env = dict(os.environ, JOURNAL_STREAM=f"{st.st_dev}:{st.st_ino}")
    s = socket.socket(); s.bind(("127.0.0.1", 0)); port = s.getsockname()[1]; s.close()
    daemon = subprocess.Popen([gxpolicyd, "--db", db, "--registry", registry, "--listen", f"127.0.0.1:{port}",
                               "--threads", "1"], stderr=err, env=env)
entries = []
def until(pred):
    deadline = time.time() + 10
    while time.time() < deadline:
        try:
            entries.append(fields(journal.recv(65536)))
        except socket.timeout:
            break
        if pred():
            return True
    return False

ok = until(lambda: any("listening on" in e.get("MESSAGE", "") for e in entries))
ask = json.dumps({"object": "/web/admin", "actions": "r", "user": "alice"}).encode()
urllib.request.urlopen(urllib.request.Request(f"http://127.0.0.1:{port}/v1/check", data=ask)).read()
audit = lambda: [e for e in entries if e.get("SYSLOG_IDENTIFIER") == "gxpolicyd-audit"]
ok = until(lambda: audit()) and ok
daemon.send_signal(signal.SIGTERM)
daemon.wait(timeout=30)
problems = []
if not ok:
    problems.append("no start-up line or no audit entry: %r" % entries)
else:
    line = next(e for e in entries if "listening on" in e.get("MESSAGE", ""))
    if line.get("SYSLOG_IDENTIFIER") != "gxpolicyd" or line.get("PRIORITY") != "6":
        problems.append("start-up line: %r" % line)
    a = audit()[0]
    want = {"GX_DECISION": "denied", "GX_OBJECT": "/web/admin", "GX_ACTIONS": "r", "GX_USER": "alice"}
    for k, v in want.items():
        if a.get(k) != v:
            problems.append(f"audit entry {k}={a.get(k)!r}, expected {v!r}: {a!r}")
    if not a.get("GX_CAUSE"):
        problems.append("audit entry without GX_CAUSE: %r" % a)
stderr_text = open(os.path.join(os.path.dirname(db), "stderr")).read()
if stderr_text:
    problems.append("wrote to stderr besides the journal: %r" % stderr_text)
if problems:
    print("journal check: " + "\n".join(problems), file=sys.stderr)
    sys.exit(1)
print("journal check: log lines and audit records reach the journal with their fields")
