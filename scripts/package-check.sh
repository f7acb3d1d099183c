#!/usr/bin/env bash
# The Debian packages checked the way a user gets them (./test.sh's last
# stage; it can run alone):
#  1. scripts/package.sh builds vexav, libvexav0 and libvexav-dev into dist/
#     and runs lintian on them (an error fails);
#  2. the desktop entry and the AppStream metainfo of the built vexav package
#     are validated (desktop-file-validate, appstreamcli validate --no-net);
#  3. `apt-get install ./dist/*.deb`;
#  4. as a throw-away unprivileged user, in a folder of its own:
#     /usr/bin/vexav-convert converts a generated clip (once plain, once with
#     the frame-hook library named by its file name alone) and the outputs
#     are decoded; /usr/bin/vexav-window starts on a virtual X server and is
#     closed as a window manager closes it, and its settings must then be in
#     that user's ~/.config/vexav/; examples/ is built against the installed
#     libvexav-dev and its program converts the clip, which is decoded;
#  5. `apt-get purge` of the three packages, after which none of their files
#     may be left.
# The machine is left as it was found, on every way out: the packages (and
# whatever apt-get installed for them) purged, the user and the temporary
# folders removed. Needs root. The test media come from the build tree's
# vexav-mediagen (built when missing).
#
#   scripts/package-check.sh
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

PACKAGES=(vexav libvexav0 libvexav-dev)
dist="${VEXAV_DIST:-$VEXAV_ROOT/dist}"
export VEXAV_DIST="$dist"

fail() {
  printf 'package-check: %s\n' "$1" >&2
  shift
  local hint
  for hint in "$@"; do printf '  hint: %s\n' "$hint" >&2; done
  exit 1
}
step() { printf -- '-- %s\n' "$*"; }
# apt_get ARGS...: apt-get without questions; its output is shown only when
# it fails.
apt_get() {
  local out
  if ! out="$(DEBIAN_FRONTEND=noninteractive apt-get -y -q "$@" 2>&1)"; then
    printf '%s\n' "$out" >&2
    return 1
  fi
}

if [ "$(id -u)" -ne 0 ]; then
  fail "this check installs and purges packages and makes a user, which needs root" \
    "run it as root, or leave the stage out of ./test.sh with VEXAV_SKIP_PACKAGES=1"
fi
# Installed (or left configured) already: the check would replace them and
# purge them at the end, which would not leave the machine as it was.
for p in "${PACKAGES[@]}"; do
  state="$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null || true)"
  case "$state" in
    "" | "un "*) ;;
    *) fail "the package $p is on this machine already (dpkg state '${state% }')" \
      "remove it first (apt-get purge -y ${PACKAGES[*]}), or skip the check with VEXAV_SKIP_PACKAGES=1" ;;
  esac
done

# The tools of the checks: the validators, the virtual X server, a window
# search, Xlib's headers for the closing helper.
vexav_install_packages desktop-file-utils appstream xvfb xauth xdotool libx11-dev

mediagen="$VEXAV_BUILD/bin/vexav-mediagen"
if [ ! -x "$mediagen" ]; then
  step "building vexav-mediagen (the test media) in ${VEXAV_BUILD#"$VEXAV_ROOT"/}"
  vexav_install_packages
  cmake -S "$VEXAV_ROOT" -B "$VEXAV_BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$VEXAV_BUILD" -j"$(nproc)" --target vexav-mediagen >/dev/null
fi

# ---- Everything made here goes on the way out --------------------------------
tmp="$(mktemp -d /tmp/vexav-package-check-XXXXXX)"
chmod 755 "$tmp"
user="vexav-check-$$"
user_made=0
installed=0
pulled=() # packages apt-get installed along with ours
cleanup() {
  local status=$?
  set +e
  [ "$installed" = 1 ] && apt_get purge "${PACKAGES[@]}"
  [ "${#pulled[@]}" -gt 0 ] && apt_get purge "${pulled[@]}"
  [ "$user_made" = 1 ] && userdel --remove "$user" >/dev/null 2>&1
  rm -rf "$tmp"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---- 1. Build (and lintian) ---------------------------------------------------
step "scripts/package.sh"
start=$SECONDS
"$VEXAV_ROOT/scripts/package.sh"
echo "package.sh: $((SECONDS - start)) s"
mapfile -t debs < <(find "$dist" -maxdepth 1 -name '*.deb' | sort)
for p in "${PACKAGES[@]}"; do
  compgen -G "$dist/${p}_*.deb" >/dev/null || fail "no package $p in $dist"
done

# ---- 2. Desktop entry and AppStream metainfo of the built package --------------
step "desktop-file-validate, appstreamcli validate --no-net"
mkdir "$tmp/vexav-deb"
dpkg-deb -x "$(compgen -G "$dist/vexav_*.deb")" "$tmp/vexav-deb"
desktop="$tmp/vexav-deb/usr/share/applications/org.vexav.Converter.desktop"
metainfo="$tmp/vexav-deb/usr/share/metainfo/org.vexav.Converter.metainfo.xml"
[ -f "$desktop" ] || fail "the vexav package holds no ${desktop#"$tmp/vexav-deb"}"
[ -f "$metainfo" ] || fail "the vexav package holds no ${metainfo#"$tmp/vexav-deb"}"
desktop-file-validate "$desktop"
appstreamcli validate --no-net "$metainfo"

# ---- 3. Install ---------------------------------------------------------------
step "apt-get install ${debs[*]#"$VEXAV_ROOT"/}"
# What the packages will hold and what of it is on the machine already: the
# purge must take away everything else.
for deb in "${debs[@]}"; do
  dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\./|/|; s|/$||' | grep -v '^\.\?$'
done | sort -u >"$tmp/contents"
while IFS= read -r path; do
  if [ -e "$path" ] || [ -L "$path" ]; then printf '%s\n' "$path"; fi
done <"$tmp/contents" >"$tmp/existing-before"
dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package}\n' | awk '$1 == "ii" { print $2 }' |
  sort >"$tmp/packages-before"
installed=1
apt_get install "${debs[@]}" || fail "apt-get install of the packages failed"
dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package}\n' | awk '$1 == "ii" { print $2 }' |
  sort >"$tmp/packages-after"
mapfile -t pulled < <(comm -13 "$tmp/packages-before" "$tmp/packages-after" |
  grep -v -x -E '(vexav|libvexav0|libvexav-dev)(:[a-z0-9]+)?' || true)
[ "${#pulled[@]}" -eq 0 ] || echo "installed along with them: ${pulled[*]}"
for p in "${PACKAGES[@]}"; do
  [ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$p")" = "ii " ] || fail "$p did not install"
done

# ---- 4. As an unprivileged user -------------------------------------------------
home="$tmp/home"
work="$tmp/work"
useradd --create-home --home-dir "$home" --shell /bin/sh --user-group "$user"
user_made=1
install -d -o "$user" -g "$user" -m 755 "$work"
install -d -o "$user" -g "$user" -m 700 "$tmp/runtime"
# as_user DIR COMMAND...: runs COMMAND in DIR as the user, with a login's
# plain environment (no variable of this script's).
as_user() {
  local dir="$1"
  shift
  runuser -u "$user" -- env -i -C "$dir" HOME="$home" USER="$user" LOGNAME="$user" \
    SHELL=/bin/sh PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 \
    XDG_RUNTIME_DIR="$tmp/runtime" "$@"
}
# decodes FILE [REFERENCE]: every picture of FILE read back (and compared
# with REFERENCE's); prints the summary line of the comparison.
decodes() {
  local file="$1" reference="${2:-$1}" summary
  [ -s "$file" ] || fail "no output ${file#"$tmp"/}"
  summary="$("$mediagen" --psnr "$file" "$reference" | tail -n 1)" ||
    fail "${file#"$tmp"/} does not decode"
  case "$summary" in
    "frames "[1-9]*) printf '%s\n' "$summary" ;;
    *) fail "${file#"$tmp"/}: no picture decoded ($summary)" ;;
  esac
}

clip="$work/clip.avi"
"$mediagen" --size 320x240 --rate 25 --duration 2 --counter "$clip" >/dev/null
chown "$user:$user" "$clip"

step "/usr/bin/vexav-convert as $user in ${work#"$tmp"/}"
as_user "$work" /usr/bin/vexav-convert clip.avi || fail "vexav-convert clip.avi failed"
converted="$work/clip (MPEG-4 Video).mp4"
decodes "$converted" >/dev/null
# Every source picture is there, in order (the preset's 29.97 frames/s
# repeats some of the 25).
"$mediagen" --counters "$converted" >"$tmp/counters"
if ! awk 'BEGIN { last = -1 } $1 < 0 || $1 < last || $1 > last + 1 { bad = 1 } { last = $1 }
          END { exit (bad || last != 49) }' "$tmp/counters"; then
  fail "the converted clip does not show the source's 50 pictures in order: $(tr '\n' ' ' <"$tmp/counters")"
fi
echo "converted: $(wc -l <"$tmp/counters") pictures showing the source's 0..49 in order"

# The hook library by its file name alone, found in the installed library
# folder. Without arguments it inverts the pictures, so that the output is
# far from the source.
as_user "$work" /usr/bin/vexav-convert --output hooked.mp4 --option vhook=libvexav-boxhook.so \
  clip.avi || fail "vexav-convert with the hook libvexav-boxhook.so failed"
summary="$(decodes "$work/hooked.mp4" "$clip")"
awk -v m="${summary##* }" 'BEGIN { exit !(m < 15) }' ||
  fail "the frame hook changed nothing: $summary (PSNR against the source)"
echo "hook libvexav-boxhook.so: $summary (PSNR against the source)"

step "/usr/bin/vexav-window on a virtual X server as $user"
cc -O2 -o "$tmp/x11-close-window" "$VEXAV_ROOT/scripts/x11-close-window.c" -lX11
# The window is closed as a window manager would (WM_DELETE_WINDOW), then the
# banner it shows on the way out; nothing runs on after 90 s.
cat >"$tmp/window.sh" <<EOF
/usr/bin/vexav-window &
pid=\$!
for second in \$(seq 90); do
  kill -0 \$pid 2>/dev/null || break
  windows=\$(xdotool search --onlyvisible --pid \$pid 2>/dev/null)
  [ -n "\$windows" ] && "$tmp/x11-close-window" \$windows
  sleep 1
done
kill \$pid 2>/dev/null && { echo "vexav-window did not end when closed" >&2; exit 1; }
wait \$pid
EOF
chmod 755 "$tmp/window.sh"
as_user "$work" timeout -k 10 180 xvfb-run -a -s "-screen 0 1024x768x24" sh "$tmp/window.sh" ||
  fail "vexav-window did not start and end cleanly under xvfb-run (status $?)"
config="$home/.config/vexav/config.ini"
[ -f "$config" ] || fail "vexav-window wrote no settings in ~/.config/vexav/ of $user" \
  "files in the user's home: $(cd "$home" && find . -type f | tr '\n' ' ')"
[ "$(stat -c %U "$config")" = "$user" ] || fail "$config does not belong to $user"
grep -q '^\[Main\]' "$config" || fail "$config has no [Main] section: $(cat "$config")"
echo "settings written: ~/.config/vexav/config.ini ($(grep -c = "$config") keys)"

step "examples/ built against libvexav-dev as $user"
[ -f "$VEXAV_ROOT/examples/CMakeLists.txt" ] || fail "no examples/CMakeLists.txt"
cp -r "$VEXAV_ROOT/examples" "$tmp/examples"
chown -R "$user:$user" "$tmp/examples"
as_user "$tmp/examples" cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null ||
  fail "examples/ does not configure against the installed packages"
as_user "$tmp/examples" cmake --build build || fail "examples/ does not build"
mapfile -t programs < <(find "$tmp/examples/build" -maxdepth 1 -type f -executable)
[ "${#programs[@]}" -eq 1 ] ||
  fail "examples/ should build one program; found ${#programs[@]}: ${programs[*]##*/}"
mkdir "$work/example"
chown "$user:$user" "$work/example"
as_user "$work/example" "${programs[0]}" "$clip" || fail "${programs[0]##*/} $clip failed"
mapfile -t outputs < <(find "$work/example" -maxdepth 1 -name '*.mp4')
[ "${#outputs[@]}" -eq 1 ] ||
  fail "the example program should write one .mp4 into its current folder; found ${#outputs[@]}"
# The same preset as vexav-convert's default mode: compared with its output.
summary="$(decodes "${outputs[0]}" "$converted")"
echo "${programs[0]##*/}: ${outputs[0]##*/}: $summary (PSNR against vexav-convert's)"

# ---- 5. Purge: nothing of the packages may be left -----------------------------
step "apt-get purge -y ${PACKAGES[*]}"
dpkg -L "${PACKAGES[@]}" | grep -v -x -F '/.' | sort -u >"$tmp/files"
apt_get purge "${PACKAGES[@]}" || fail "apt-get purge of the packages failed"
installed=0
if [ "${#pulled[@]}" -gt 0 ]; then
  apt_get purge "${pulled[@]}" || fail "apt-get purge of ${pulled[*]} failed"
  pulled=()
fi
left=()
while IFS= read -r path; do
  grep -q -x -F -- "$path" "$tmp/existing-before" && continue
  if [ -e "$path" ] || [ -L "$path" ]; then left+=("$path"); fi
done <"$tmp/files"
[ "${#left[@]}" -eq 0 ] || fail "left after the purge: ${left[*]}"
for p in "${PACKAGES[@]}"; do
  state="$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null || true)"
  case "$state" in "" | "un "*) ;; *) fail "$p is still known to dpkg after the purge ($state)" ;; esac
done
echo "purged: none of the $(wc -l <"$tmp/files") paths the packages had installed is left"
