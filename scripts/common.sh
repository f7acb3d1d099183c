# Shared by run.sh and test.sh: installs what is missing from Debian's
# packages and builds the project (Release) into build/.

VEXAV_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VEXAV_BUILD="${VEXAV_BUILD:-$VEXAV_ROOT/build}"

# Everything the build, the programs and the tests need.
VEXAV_PACKAGES=(
  g++ cmake make pkg-config
  libgtest-dev
  libavcodec-dev libavformat-dev libavutil-dev
  libswscale-dev libswresample-dev libavfilter-dev
  qt6-base-dev
  # The font the window's painting tests render text with.
  fonts-dejavu-core
)

# Prints the packages of the list (and of the extra names given) that are
# not installed.
vexav_missing_packages() {
  local p
  for p in "${VEXAV_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' ||
      printf '%s\n' "$p"
  done
}

# Installs what is missing of the list, plus any extra package names given
# (tools only some scripts need, for example the X server of the screenshot).
vexav_install_packages() {
  local missing
  mapfile -t missing < <(vexav_missing_packages "$@")
  [ "${#missing[@]}" -eq 0 ] && return 0
  echo "Installing missing packages: ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
      sudo="sudo"
    else
      echo "error: these Debian packages are missing and installing them needs root:" >&2
      echo "  apt-get install -y ${missing[*]}" >&2
      exit 1
    fi
  fi
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}

vexav_build() {
  cmake -S "$VEXAV_ROOT" -B "$VEXAV_BUILD" -DCMAKE_BUILD_TYPE=Release "$@"
  cmake --build "$VEXAV_BUILD" -j"$(nproc)"
}
