# Sourced by the scripts that need extra Debian packages.
# need_tools "PACKAGES" COMMAND...: every COMMAND must be on PATH; if one is missing and we are
# root with apt-get, PACKAGES are installed, otherwise the script stops naming them.
need_tools() {
  local packages="$1" cmd missing=""
  shift
  for cmd in "$@"; do command -v "$cmd" >/dev/null || missing+=" $cmd"; done
  [[ -z "$missing" ]] && return 0
  if [[ $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
    echo "installing $packages (for$missing)" >&2
    apt-get -o DPkg::Lock::Timeout=300 update -qq >/dev/null
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y -qq $packages >/dev/null
  else
    echo "missing$missing: install $packages (Debian: apt-get install $packages)" >&2
    exit 1
  fi
}
