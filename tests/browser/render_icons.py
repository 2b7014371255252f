#!/usr/bin/env python3
"""Renders the web interface's PNG icons from the SVG drawings below with
headless chromium (run by hand after changing a drawing; the PNGs are
committed under httpdocs/gfx/ because only images are served before login)."""
import os
import sys
import tempfile

from selenium import webdriver

ICONS = {
    # running server; the link around it stops the server
    "server-run.png": (40, '<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 40 40">'
                       '<circle cx="20" cy="20" r="18" fill="#1b8f52"/>'
                       '<circle cx="20" cy="20" r="18" fill="none" stroke="#136b3d" stroke-width="2"/>'
                       '<rect x="14" y="14" width="12" height="12" rx="2" fill="#fff"/></svg>'),
    # stopped server; the link around it starts the server
    "server-stop.png": (40, '<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 40 40">'
                        '<circle cx="20" cy="20" r="18" fill="#e6e9ef"/>'
                        '<circle cx="20" cy="20" r="18" fill="none" stroke="#a3adbd" stroke-width="2"/>'
                        '<path d="M16 12.5 L28 20 L16 27.5 Z" fill="#5d687a" stroke="#5d687a" '
                        'stroke-width="2" stroke-linejoin="round"/></svg>'),
}


def main():
    root = os.path.dirname(os.path.abspath(__file__))
    gfx = os.path.join(root, "..", "..", "httpdocs", "gfx")
    with open(os.path.join(gfx, "logo.svg")) as f:
        ICONS["favicon.png"] = (64, f.read())
    options = webdriver.ChromeOptions()
    for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--hide-scrollbars"):
        options.add_argument(arg)
    profile = tempfile.TemporaryDirectory()
    options.add_argument("--user-data-dir=" + profile.name)
    driver = webdriver.Chrome(options=options)
    try:
        driver.execute_cdp_cmd("Emulation.setDefaultBackgroundColorOverride",
                               {"color": {"r": 0, "g": 0, "b": 0, "a": 0}})
        for name, (size, svg) in ICONS.items():
            svg = svg.replace("<svg ", '<svg width="%d" height="%d" ' % (size, size), 1)
            html = ('<html><body style="margin:0;background:transparent">'
                    '<div id="i" style="width:%dpx;height:%dpx">%s</div></body></html>' % (size, size, svg))
            page = os.path.join(profile.name, "icon.html")
            with open(page, "w") as f:
                f.write(html)
            driver.get("file://" + page)
            driver.find_element("id", "i").screenshot(os.path.join(gfx, name))
            print("wrote", name)
    finally:
        driver.quit()
        profile.cleanup()


if __name__ == "__main__":
    sys.exit(main())
