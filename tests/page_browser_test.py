#!/usr/bin/env python3
"""The triage site in a real browser. Headless Chromium loads the index and
up to ten pages of each folder of a site (written from hostile reports, or
given) and dumps each one's DOM, console and network log; the checks read
those:

  - the groups and counts the index shows are the expected ones, given as
    data: a JSON list of {"group": ID, "count": N} (or {"groups": [...]});
  - no hostile text made an element or an attribute, and none ran;
  - the page's own script ran under its policy (the filter box is there);
  - nothing was logged to the console: no policy violation, no error;
  - the page started no network request (the browser's own background
    requests, whose initiator is no origin, never leave the machine either:
    every host name resolves to nothing).

Usage: page_browser_test.py --writer WRITE_SAMPLE_SITE
       page_browser_test.py --site DIR --expected GROUPS_JSON
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from html.parser import HTMLParser
from pathlib import Path

CHROMIUM_FLAGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--disable-extensions", "--disable-features=NetworkTimeServiceQuerying",
    "--host-resolver-rules=MAP * ~NOTFOUND", "--enable-logging=stderr", "--v=0",
]
# What the pages are made of; anything else came from a report.
OWN_ELEMENTS = {
    "a", "body", "button", "code", "dd", "div", "dl", "dt", "h1", "h2", "head", "header", "html", "input",
    "line", "main", "meta", "p", "path", "pre", "rect", "script", "span", "style", "svg", "table", "tbody",
    "td", "text", "th", "thead", "title", "tr",
}
OWN_ATTRIBUTES = {
    "aria-label", "aria-sort", "charset", "class", "content", "d", "data-sort", "dy", "height", "hidden",
    "href", "http-equiv", "id", "lang", "name", "placeholder", "role", "type", "viewbox", "width", "x", "x1",
    "x2", "y", "y1", "y2",
}
# Each load takes the browser a second or so: a large site's group and
# report pages are sampled, the first of each folder by name.
MOST_PAGES_PER_FOLDER = 10
PWNED_TITLE = "PWNED"
PWNED_ID = "pwned"
CHROMIUM_SECONDS = 30


class Dom(HTMLParser):
    """A dumped DOM's elements, and the cells of its table of groups."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.elements = []  # (tag, {name: value})
        self.texts = {}  # id -> text
        self.headers = []
        self.rows = []
        self.title = ""  # the document's, not an SVG's
        self._svg_depth = 0
        self._in_title = False
        self._open_ids = []
        self._place = None  # "th" or "td" inside the table of groups
        self._in_groups = False
        self.feed(text)
        self.close()

    def handle_starttag(self, tag, attrs):
        attributes = dict(attrs)
        self.elements.append((tag, attributes))
        if "id" in attributes:
            self.texts.setdefault(attributes["id"], "")
            self._open_ids.append((tag, attributes["id"]))
        self._svg_depth += tag == "svg"
        self._in_title = tag == "title" and self._svg_depth == 0
        if tag == "table" and attributes.get("id") == "groups":
            self._in_groups = True
        elif self._in_groups and tag == "tr" and self.headers:
            self.rows.append([])
        elif self._in_groups and tag == "th":
            self.headers.append("")
            self._place = "th"
        elif self._in_groups and tag == "td" and self.rows:
            self.rows[-1].append("")
            self._place = "td"

    def handle_endtag(self, tag):
        self._svg_depth -= tag == "svg"
        self._in_title = False
        if tag == "table":
            self._in_groups = False
        if tag in ("th", "td"):
            self._place = None
        if self._open_ids and self._open_ids[-1][0] == tag:
            self._open_ids.pop()

    def handle_data(self, data):
        if self._in_title:
            self.title += data
        for _, element_id in self._open_ids:
            self.texts[element_id] += data
        if self._place == "th":
            self.headers[-1] += data
        elif self._place == "td":
            self.rows[-1][-1] += data


def words(text):
    return " ".join(text.split())


def load_expected(path):
    data = json.loads(Path(path).read_text())
    groups = data["groups"] if isinstance(data, dict) else data
    return [(words(entry["group"]), int(entry["count"])) for entry in groups]


def page_requests(net_log):
    """The network requests a page started, from Chromium's network log."""
    log = json.loads(net_log.read_text())
    start = log["constants"]["logEventTypes"]["URL_REQUEST_START_JOB"]
    return [
        event["params"]["url"]
        for event in log["events"]
        if event["type"] == start and "url" in event.get("params", {})
        and event["params"].get("initiator") != "not an origin"
    ]


class Rendered:
    """A page as Chromium left it: its DOM, its console and its requests."""

    def __init__(self, page, scratch):
        home = Path(tempfile.mkdtemp(dir=scratch))
        net_log = home / "net-log.json"
        command = [os.environ.get("CHROMIUM", "chromium"), *CHROMIUM_FLAGS, f"--user-data-dir={home / 'profile'}",
                   f"--log-net-log={net_log}", "--dump-dom", page.as_uri()]
        environment = dict(os.environ, HOME=str(home), XDG_CONFIG_HOME=str(home), XDG_CACHE_HOME=str(home))
        result = subprocess.run(command, capture_output=True, text=True, errors="replace", env=environment,
                                timeout=CHROMIUM_SECONDS, check=False)
        if result.returncode != 0 or not result.stdout:
            raise RuntimeError(f"chromium failed on {page} ({result.returncode}):\n{result.stderr[-2000:]}")
        self.page = page
        self.dom = Dom(result.stdout)
        self.console = [line for line in result.stderr.splitlines() if ":CONSOLE" in line]
        self.requests = page_requests(net_log)


class BrowserTest(unittest.TestCase):
    site = None
    expected = None
    scratch = None

    @classmethod
    def setUpClass(cls):
        pages = [cls.site / "index.html"]
        for folder in ("groups", "reports"):
            pages += sorted((cls.site / folder).glob("*.html"))[:MOST_PAGES_PER_FOLDER]
        cls.rendered = [Rendered(page, cls.scratch) for page in pages]
        cls.index = cls.rendered[0].dom

    def column(self, name):
        headers = [words(header) for header in self.index.headers]
        self.assertIn(name, headers)
        return headers.index(name)

    def test_groups_and_counts_shown_are_the_catalogs(self):
        group, count = self.column("Group"), self.column("Reports")
        shown = [(words(row[group]), int(row[count].replace(",", ""))) for row in self.index.rows]
        self.assertCountEqual(shown, self.expected)

    def test_totals_are_the_catalogs(self):
        self.assertEqual(words(self.index.texts["total-groups"]), f"{len(self.expected):,}")
        self.assertEqual(words(self.index.texts["total-reports"]), f"{sum(c for _, c in self.expected):,}")

    def test_hostile_texts_make_no_element_or_attribute(self):
        for rendered in self.rendered:
            own_scripts = 1 if rendered.page.name == "index.html" else 0
            tags = [tag for tag, _ in rendered.dom.elements]
            self.assertEqual(tags.count("script"), own_scripts, rendered.page)
            self.assertLessEqual(set(tags), OWN_ELEMENTS, rendered.page)
            for tag, attributes in rendered.dom.elements:
                self.assertLessEqual(set(attributes), OWN_ATTRIBUTES, f"{rendered.page}: <{tag}>")

    def test_hostile_scripts_did_not_run(self):
        for rendered in self.rendered:
            self.assertNotIn(PWNED_ID, rendered.dom.texts, rendered.page)
            self.assertNotEqual(rendered.dom.title, PWNED_TITLE, rendered.page)
        self.assertEqual(self.index.title, "Crash reports")

    def test_own_script_ran_under_the_policy(self):
        self.assertIn("filter", self.index.texts)
        groups = f"{len(self.expected):,}"
        self.assertEqual(words(self.index.texts["shown"]), f"{groups} of {groups} groups")

    def test_nothing_is_logged_to_the_console(self):
        for rendered in self.rendered:
            self.assertEqual(rendered.console, [], rendered.page)

    def test_pages_start_no_network_request(self):
        for rendered in self.rendered:
            self.assertEqual(rendered.requests, [], rendered.page)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--writer", help="write_sample_site, to write a hostile site and its groups")
    parser.add_argument("--site", type=Path, help="a site already written")
    parser.add_argument("--expected", help="the groups the site's catalog holds, as JSON")
    arguments, rest = parser.parse_known_args()
    if not arguments.writer and not (arguments.site and arguments.expected):
        parser.error("give --writer, or --site and --expected")
    scratch = tempfile.mkdtemp(prefix="page-browser-")
    try:
        if arguments.writer:
            arguments.site = Path(scratch) / "site"
            arguments.expected = Path(scratch) / "groups.json"
            subprocess.run([arguments.writer, "hostile", arguments.site, arguments.expected], check=True)
        BrowserTest.site = arguments.site.resolve()
        BrowserTest.expected = load_expected(arguments.expected)
        BrowserTest.scratch = scratch
        unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
