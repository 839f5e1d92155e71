"""Makes docs/search-page.png: the demo's corpus served on 127.0.0.1, one search grouped by
communities with one hit's score parts open, photographed by headless Chromium.

    python scripts/screenshot-web.py [--index DIR] [--out docs/search-page.png]

M="limit:5 recent:3000" python scripts/screenshot-web.py  # another modifier line

Needs Debian's chromium and chromium-driver (scripts/setup.sh installs them as root). The
index is examples/demo.py's (written into --index the first time, build-demo/ by default).
"""

from __future__ import annotations

import argparse
import os
import socket
import subprocess
import sys
import time
import urllib.request
from pathlib import Path
from urllib.parse import urlencode

ROOT = Path(__file__).resolve().parent.parent
QUERY, MODIFIERS = "sort a list in place", os.environ.get("M", "local_communities limit:6 unlike:dictionary")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--index", default=str(ROOT / "build-demo"))
    ap.add_argument("--out", default=str(ROOT / "docs" / "search-page.png"))
    args = ap.parse_args()
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    server = subprocess.Popen([sys.executable, str(ROOT / "examples" / "demo.py"), "--serve",
                               "--index", args.index, "--port", str(port)])
    try:
        url = f"http://127.0.0.1:{port}/"
        for _ in range(600):  # up to two minutes for the first build of the index
            try:
                urllib.request.urlopen(url + "api/info", timeout=2)
                break
            except OSError:
                if server.poll() is not None:
                    sys.exit("screenshot-web: the demo server stopped")
                time.sleep(0.2)
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.support.ui import WebDriverWait

        os.environ["SE_OFFLINE"] = "true"
        opts = webdriver.ChromeOptions()
        opts.binary_location = "/usr/bin/chromium"
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1000,1500",
                    "--hide-scrollbars"):
            opts.add_argument(arg)
        driver = webdriver.Chrome(options=opts, service=Service("/usr/bin/chromedriver"))
        try:
            driver.get(url + "?" + urlencode({"q": QUERY, "m": MODIFIERS}))
            wait = WebDriverWait(driver, 30)
            wait.until(lambda d: d.find_elements("css selector", "#results .hit"))
            driver.find_elements("css selector", "#results .hit .why")[0].click()
            wait.until(lambda d: d.find_elements("css selector", ".chart:not([hidden])"))
            driver.execute_script("document.activeElement.blur()")
            height = driver.execute_script("return document.body.scrollHeight")
            driver.set_window_size(1000, min(height + 40, 2400))
            driver.save_screenshot(args.out)
        finally:
            driver.quit()
    finally:
        server.terminate()
        server.wait(30)
    print(f"screenshot-web: wrote {args.out}")


if __name__ == "__main__":
    main()
