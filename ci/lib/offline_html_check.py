"""Fails when a built HTML site would load a script or a stylesheet from the network.

Run by ci/docs.sh on the Sphinx output:

    python offline_html_check.py build/docs/html

Every .html file is parsed. A <script src>, a <link href> (stylesheets, fonts,
preloads: any link a browser may fetch), an @import or url() in a <style>
element or a style attribute, and an @import or url() in one of the site's .css
files must not name a remote address: one with a scheme other than data: or
file: (http://, https://, ...) or a protocol-relative one (//host/...).
Relative paths into the site are what a site that reads offline uses.
Prints every offending reference with its file and line, and a count.
"""

import os
import re
import sys
from html.parser import HTMLParser

# scheme:... (RFC 3986) or //host; data: and file: stay on this machine.
REMOTE = re.compile(r"^\s*(//|(?!(data|file):)[a-z][a-z0-9+.-]*:)", re.IGNORECASE)
CSS_REFERENCE = re.compile(r"""@import\s+(?:url\()?\s*["']?([^"')\s;]+)|url\(\s*["']?([^"')\s]+)""", re.IGNORECASE)


def css_references(text):
    for match in CSS_REFERENCE.finditer(text):
        yield match.group(1) or match.group(2), text.count("\n", 0, match.start())


class RemoteReferences(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.found = []
        self.in_style = False

    def report(self, what, url, line=None):
        if REMOTE.match(url):
            self.found.append((line or self.getpos()[0], what, url))

    def handle_starttag(self, tag, attrs):
        attributes = dict(attrs)
        if tag == "script" and attributes.get("src"):
            self.report("<script src>", attributes["src"])
        elif tag == "link" and attributes.get("href"):
            self.report(f"<link rel={attributes.get('rel')!r} href>", attributes["href"])
        if attributes.get("style"):
            for url, _ in css_references(attributes["style"]):
                self.report("style attribute", url)
        self.in_style = tag == "style"

    def handle_endtag(self, tag):
        if tag == "style":
            self.in_style = False

    def handle_data(self, data):
        if self.in_style:
            start = self.getpos()[0]
            for url, offset in css_references(data):
                self.report("<style>", url, start + offset)


def check_site(root):
    found, pages = [], 0
    for folder, _, files in os.walk(root):
        for name in sorted(files):
            path = os.path.join(folder, name)
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
            if name.endswith(".html"):
                pages += 1
                parser = RemoteReferences()
                parser.feed(text)
                parser.close()
                found += [(path, line, what, url) for line, what, url in parser.found]
            elif name.endswith(".css"):
                found += [(path, 1 + offset, "css", url) for url, offset in css_references(text) if REMOTE.match(url)]
    return pages, found


def main():
    if len(sys.argv) != 2 or not os.path.isdir(sys.argv[1]):
        sys.exit("usage: offline_html_check.py HTML_DIR")
    pages, found = check_site(sys.argv[1])
    if pages == 0:
        sys.exit(f"no .html files in {sys.argv[1]}")
    for path, line, what, url in found:
        print(f"{path}:{line}: {what} loads {url}", file=sys.stderr)
    if found:
        print(f"{len(found)} remote scripts or stylesheets in {pages} pages", file=sys.stderr)
        return 1
    print(f"no remote scripts or stylesheets in {pages} pages")
    return 0


if __name__ == "__main__":
    sys.exit(main())
