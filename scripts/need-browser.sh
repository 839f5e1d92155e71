#!/usr/bin/env bash
# The browser tests of the search page (tests/test_web.py) drive Debian's chromium through its
# chromium-driver. Installs both when one is missing and we are root with apt-get; otherwise
# says so, and those tests skip.
set -euo pipefail
if command -v chromium >/dev/null && command -v chromedriver >/dev/null; then exit 0; fi
if [[ $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
  echo "setup: installing chromium and chromium-driver (for the search page's browser tests)" >&2
  apt-get -o DPkg::Lock::Timeout=300 update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y -qq chromium chromium-driver >/dev/null
else
  echo "setup: no chromium/chromedriver and no root apt-get: the browser tests will skip (Debian: apt-get install chromium chromium-driver)" >&2
fi
