#!/usr/bin/env python3
"""The triage page of a real store, in a real browser: the collector stores
hostile reports (markup, scripts and quotes in function names, unit names,
host names and text), crashReports writes the page and lists the groups as
JSON, and page_browser_test.py checks in headless Chromium that the page
shows those groups and counts, that no hostile text made an element or ran,
and that the page asked for nothing from outside.

Usage: page_store_test.py COLLECTOR CRASH_REPORTS
"""
import json
import socket
import struct
import subprocess
import sys
import tempfile
import zlib
from pathlib import Path

SCRIPT = "<script>document.title='PWNED'</script>"
IMAGE = "<img src=x id=pwned onerror=\"document.title='PWNED'\">"
HOSTILE = [
    f"signal 11 (SIGSEGV)\n#0  0x0000000000401136 in parse{SCRIPT} (a.c:1)\n#1  0x1 in main ()\n",
    f"signal 11 (SIGSEGV)\n#0  0x0000000000401136 in {IMAGE}::run (a.c:1)\n",
    "=== crash report ===\nhost: web\"3'</textarea><!--\nunit: it's\"<b>.service\n"
    f"time: 2026-12-08T11:59:59Z\n=== journal of x ===\n{SCRIPT}\u2028{IMAGE}]]>\n",
    "Traceback (most recent call last):\n  File \"/srv/app.py\", line 3, in <module>\n"
    f"ValueError: bad value {SCRIPT} \u2029 {IMAGE}\n",
    "plain text of a crash </pre><script>document.title='PWNED'</script>\n\xff\xfe invalid UTF-8 \x00 NUL\n",
]


def frame(report):
    data = report.encode("utf-8", "surrogateescape") if isinstance(report, str) else report
    return struct.pack(">I", len(data)) + zlib.compress(data)


def store_hostile_reports(collector, store):
    reports = HOSTILE * 3
    process = subprocess.Popen([collector, "--bind", "127.0.0.1", "--port", "0", "--keep-free", "0", "--count",
                                str(len(reports)), str(store)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               text=True)
    port = None
    for line in process.stderr:
        if line.startswith("listening on "):
            port = int(line.split()[2].split(",")[0].split(":")[1])
            break
    if port is None:
        sys.exit(f"page store test: the collector did not start: {process.stderr.read()}")
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        for report in reports:
            sender.sendto(frame(report.encode("latin-1") if "\xff" in report else report), ("127.0.0.1", port))
    process.stderr.read()
    if process.wait(timeout=60) != 0:
        sys.exit("page store test: the collector failed")


def main():
    collector, reader = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as scratch:
        store, site = Path(scratch) / "store", Path(scratch) / "site"
        store_hostile_reports(collector, store)
        groups = subprocess.run([reader, "--store", str(store), "groups", "--json"], capture_output=True, text=True,
                                check=True).stdout
        if len(json.loads(groups)) < 4:
            sys.exit(f"page store test: too few groups to tell anything: {groups}")
        expected = Path(scratch) / "groups.json"
        expected.write_text(groups)
        subprocess.run([reader, "--store", str(store), "page", str(site)], check=True)
        browser = Path(__file__).with_name("page_browser_test.py")
        sys.exit(subprocess.run([sys.executable, str(browser), "--site", str(site), "--expected",
                                 str(expected)]).returncode)


if __name__ == "__main__":
    main()
