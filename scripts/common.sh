# Shared set-up of the two commands: Debian packages, build trees, the venv.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PY=/usr/bin/python3
DEBIAN_PACKAGES=(
  g++ clang meson ninja-build pkg-config clang-format
  python3-dev python3-venv python3-pip python3-mesonpy
  python3-jsonschema python3-requests python3-aiohttp python3-tz python3-redis
  python3-pytest python3-hypothesis python3-mypy redis-server redis-tools
)

ensure_packages() {
  local missing=() p
  for p in "${DEBIAN_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  echo "installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Configures (once; later with the options given) and builds an in-place
# tree: DIR [meson options...]
build_tree() {
  local dir="$ROOT/$1"
  shift
  if [ -f "$dir/build.ninja" ]; then
    [ "$#" -eq 0 ] || meson configure "$dir" "$@" >/dev/null
  else
    meson setup "$dir" "$ROOT" "$@" >/dev/null
  fi
  ninja -C "$dir" >/dev/null
}

# Installs the package into the project's venv, as a service would get it.
install_venv() {
  [ -x "$ROOT/.venv/bin/python" ] || "$PY" -m venv --system-site-packages "$ROOT/.venv"
  "$ROOT/.venv/bin/python" -m pip install -q --no-build-isolation --no-index \
    --config-settings=builddir="$ROOT/build-pip" "$ROOT"
}
