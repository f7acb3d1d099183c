#!/usr/bin/env bash
# Builds the Debian packages vexav, libvexav0 and libvexav-dev from debian/
# with dpkg-buildpackage and writes them into dist/, then checks them with
# lintian: an error fails, and the whole report (information tags too) is
# kept in dist/lintian.txt. Installs what it needs from Debian's packages
# first: build-essential, debhelper, dpkg-dev, lintian and the build
# dependencies that debian/control names.
#
#   scripts/package.sh        # dist/vexav_<version>_<arch>.deb and the others
#
# The version is the one of project() in CMakeLists.txt; debian/changelog
# must say the same (the script stops when it does not). The build runs in a
# copy of the sources under build-deb/ (dpkg-buildpackage writes its packages
# beside the source folder, and the copy keeps the work tree clean), from
# scratch each time; the compiler cache is used when ccache is installed.
# Its log is build-deb/build.log. VEXAV_DIST=DIR writes the packages into DIR
# instead of dist/.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

dist="${VEXAV_DIST:-$VEXAV_ROOT/dist}"
work="$VEXAV_ROOT/build-deb"
log="$work/build.log"

# fail MESSAGE [HINT...]: says why the packages cannot be built, and what to
# do about it.
fail() {
  printf 'package.sh: %s\n' "$1" >&2
  shift
  local hint
  for hint in "$@"; do printf '  hint: %s\n' "$hint" >&2; done
  exit 1
}

# ---- One version number -----------------------------------------------------
version="$(sed -n 's/^project(VexAVConverter VERSION \([0-9][0-9.]*\).*/\1/p' "$VEXAV_ROOT/CMakeLists.txt")"
[ -n "$version" ] || fail "no version in project() of CMakeLists.txt"
changelog_version="$(sed -n '1s/^vexav (\([^)]*\)).*/\1/p' "$VEXAV_ROOT/debian/changelog")"
if [ "$changelog_version" != "$version" ]; then
  fail "debian/changelog is at version '$changelog_version', CMakeLists.txt's project() at $version" \
    "the version is set in CMakeLists.txt; give debian/changelog a new entry at the top for $version (dch -v $version, of devscripts, writes one)"
fi

# ---- Tools and build dependencies --------------------------------------------
# The names of debian/control's Build-Depends, without versions
# (debhelper-compat is debhelper's own).
build_deps() {
  awk '/^Build-Depends:/ { f = 1; sub(/^Build-Depends:/, ""); print; next }
       f && /^[ \t]/ { print; next }
       { f = 0 }' "$VEXAV_ROOT/debian/control" |
    sed 's/([^)]*)//g; s/|[^,]*//g' | tr ',' '\n' | tr -d ' \t' |
    grep -v -e '^$' -e '^debhelper-compat$'
}
mapfile -t deps < <(build_deps)
# build-essential is what dpkg-buildpackage takes for granted besides them.
vexav_install_packages build-essential debhelper dpkg-dev lintian "${deps[@]}"
if ! unmet="$(cd "$VEXAV_ROOT" && dpkg-checkbuilddeps 2>&1)"; then
  fail "$unmet" "install them (apt-get install ...) or run the script as root, which installs them"
fi

# ---- The build ----------------------------------------------------------------
rm -rf "$work"
src="$work/vexav-$version"
mkdir -p "$src"
# The sources as they are in the work tree (changes not committed yet too),
# without build folders or anything else git ignores.
if git -C "$VEXAV_ROOT" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$VEXAV_ROOT" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    tar --null -T - -cf -) | tar -C "$src" -xf -
else
  tar -C "$VEXAV_ROOT" --exclude=./.git --exclude='./build' --exclude='./build-*' \
    --exclude=./dist --exclude=./sample -cf - . | tar -C "$src" -xf -
fi

# No debug-symbol packages (dist/ holds what a user installs), both cores,
# and no test run (the build has none).
DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:+$DEB_BUILD_OPTIONS }noautodbgsym nocheck parallel=$(nproc)"
export DEB_BUILD_OPTIONS
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR="$src"
  # Named here: debhelper gives the build a HOME of its own, which the next
  # run's clean start removes, and the cache with it.
  CCACHE_DIR="${CCACHE_DIR:-$(ccache -k cache_dir)}"
  export CCACHE_DIR
fi

echo "Building the Debian packages of VexAV $version (log: ${log#"$VEXAV_ROOT"/})"
start=$SECONDS
if ! (cd "$src" && dpkg-buildpackage -us -uc -b) >"$log" 2>&1; then
  echo "package.sh: dpkg-buildpackage failed; its messages:" >&2
  if grep -q 'dh_install: .*missing files' "$log"; then
    grep 'dh_install: .*missing files' "$log" >&2
    fail "a file that a debian/*.install lists is not installed" \
      "each file of debian/*.install comes from \`cmake --install\` (the install() rules); add the rule, or change the .install file if the file moved"
  elif grep -q 'dh_missing: error' "$log"; then
    grep 'dh_missing:' "$log" >&2
    fail "\`cmake --install\` installs a file that no package takes" \
      "add it to a debian/*.install file, or stop installing it (tests, benchmarks and tools are never installed)"
  fi
  grep -E -e 'error:|Error [0-9]|CMake Error|Unmet' "$log" | tail -n 20 >&2 || tail -n 20 "$log" >&2
  if grep -q 'CMake Error' "$log"; then
    fail "the configure step failed" "see ${log#"$VEXAV_ROOT"/} from 'CMake Error'"
  else
    fail "the package build failed" "the whole log is ${log#"$VEXAV_ROOT"/}"
  fi
fi
echo "Built in $((SECONDS - start)) s"

mapfile -t debs < <(find "$work" -maxdepth 1 -name '*.deb' | sort)
[ "${#debs[@]}" -gt 0 ] || fail "dpkg-buildpackage made no package" "the whole log is ${log#"$VEXAV_ROOT"/}"
mkdir -p "$dist"
rm -f "$dist"/*.deb "$dist/lintian.txt"
cp "${debs[@]}" "$dist/"

# ---- lintian --------------------------------------------------------------------
echo "lintian:"
# (Its advice against running as root is left out: the packages are our own.)
if ! lintian -I --fail-on error "$dist"/*.deb >"$dist/lintian.txt" 2>&1; then
  grep -v '^running with root privileges' "$dist/lintian.txt" >&2
  fail "lintian reports errors on the packages (above; also in ${dist#"$VEXAV_ROOT"/}/lintian.txt)"
fi
sed -i '/^running with root privileges/d' "$dist/lintian.txt"
sed 's/^/  /' "$dist/lintian.txt"
echo "Packages in $dist:"
for deb in "$dist"/*.deb; do echo "  $(basename "$deb")"; done
