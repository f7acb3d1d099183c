#!/usr/bin/env bash
# The files of data/ through the ecosystem's own checkers, one check a run:
#
#   DataToolsTest.sh CHECK SOURCE_DIR BUILD_DIR VEXAV_WINDOW
#
#   desktop-entry   desktop-file-validate says nothing about the entry
#   metainfo        appstreamcli validate --no-net passes the AppStream data
#   installed-tree  cmake --install of the data into a staging folder: every
#                   file where the layout puts it, each PNG of its folder's
#                   size, appstreamcli validate-tree --no-net passes
#   manual-pages    man --warnings shows no warning for either page, and
#                   vexav-window.1 names every option of vexav-window --help
#   completion      bash with the completion loaded (directly, and through
#                   bash-completion's own loader from the installed tree)
#                   completes options, values, folders and files
#
# A checker that is missing skips the check (exit 77), except in CI (CI
# set), where scripts/common.sh has installed it: there it fails.
set -euo pipefail

check="$1" source_dir="$2" build_dir="$3" window="$4"
data="$source_dir/data"
work="$(mktemp -d /tmp/vexav-data-test-XXXXXX)"
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# needs PROGRAM PACKAGE: PROGRAM (a command, or a file when it holds a "/")
# must be there.
needs() {
  if [[ $1 == */* ]] && [ -e "$1" ]; then return 0; fi
  if [[ $1 != */* ]] && command -v "$1" >/dev/null 2>&1; then return 0; fi
  if [ -n "${CI:-}" ]; then
    echo "FAIL: $1 is missing: Debian's package $2 (scripts/common.sh installs it)" >&2
    exit 1
  fi
  echo "SKIP: $1 is missing: apt-get install $2 (scripts/common.sh installs it)"
  exit 77
}

# Installs the data files alone into $work/root, prefix /usr.
stage() {
  DESTDIR="$work/root" cmake --install "$build_dir" --prefix /usr --component data >/dev/null
}

check_desktop_entry() {
  needs desktop-file-validate desktop-file-utils
  local said
  said="$(desktop-file-validate "$data/org.vexav.Converter.desktop" 2>&1)" ||
    fail "desktop-file-validate failed"
  [ -z "$said" ] || fail "desktop-file-validate: $said"
}

check_metainfo() {
  needs appstreamcli appstream
  local metainfo="$build_dir/data/org.vexav.Converter.metainfo.xml" said
  [ -f "$metainfo" ] || fail "$metainfo was not made at configure time"
  said="$(appstreamcli validate --no-net "$metainfo" 2>&1)" || fail "appstreamcli: $said"
  if grep -E '^ *[EW]: ' <<<"$said"; then fail "appstreamcli reports errors or warnings"; fi
}

# The width and height in a PNG's header, "W H".
png_size() {
  od -An -tu1 -j16 -N8 "$1" |
    awk '{ printf "%d %d\n", $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8 }'
}

check_installed_tree() {
  needs appstreamcli appstream
  stage
  local share="$work/root/usr/share" size file
  for file in applications/org.vexav.Converter.desktop \
    metainfo/org.vexav.Converter.metainfo.xml \
    icons/hicolor/scalable/apps/org.vexav.Converter.svg \
    man/man1/vexav-convert.1 man/man1/vexav-window.1 \
    bash-completion/completions/vexav-convert; do
    [ -f "$share/$file" ] || fail "not installed: /usr/share/$file"
  done
  for size in 16 32 48 64 128 256; do
    file="$share/icons/hicolor/${size}x${size}/apps/org.vexav.Converter.png"
    if [ ! -f "$file" ]; then
      fail "not installed: ${file#"$work/root"}"
    elif [ "$(png_size "$file")" != "$size $size" ]; then
      fail "${file#"$work/root"} is $(png_size "$file") pixels, not $size x $size"
    fi
  done
  # Nothing else: no script or template of data/ is installed.
  local extra
  extra="$(find "$work/root" -type f ! -name 'org.vexav.Converter.*' ! -name 'vexav-*')"
  [ -z "$extra" ] || fail "installed, but not part of the layout: $extra"
  local said
  said="$(appstreamcli validate-tree --no-net "$work/root" 2>&1)" ||
    fail "appstreamcli validate-tree: $said"
}

# man_warnings PAGE ARGS...: what man --warnings says about PAGE.
man_warnings() {
  local page="$1"
  shift
  LC_ALL=C.UTF-8 MANWIDTH=80 MANROFFSEQ='' man "$@" -l "$page" 2>&1 >/dev/null
}

check_manual_pages() {
  needs man man-db
  local page said
  for page in "$data/man/vexav-convert.1" "$data/man/vexav-window.1"; do
    # As asked, and as lintian runs it.
    said="$(man_warnings "$page" --warnings)" || fail "man failed on $page"
    [ -z "$said" ] || fail "man --warnings -l $page: $said"
    said="$(man_warnings "$page" --warnings -E UTF-8 -Tutf8 -Z)" || fail "man failed on $page"
    [ -z "$said" ] || fail "man --warnings -E UTF-8 -l -Tutf8 -Z $page: $said"
  done
  # vexav-window's options come from Qt's parser: the help lists them.
  local help option
  help="$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$window" --help)" ||
    fail "vexav-window --help failed"
  local options
  options="$(grep -oE '^ +(-[a-zA-Z?], )?--[a-z-]+' <<<"$help" | grep -oE -- '--[a-z-]+' | sort -u)"
  [ "$(wc -l <<<"$options")" -ge 8 ] || fail "vexav-window --help lists too few options: $options"
  local section
  section="$(sed -n '/^\.SH OPTIONS$/,/^\.SH /p' "$data/man/vexav-window.1")"
  for option in $options; do
    grep -qF -- "${option//-/\\-}" <<<"$section" ||
      fail "vexav-window.1 does not describe $option under OPTIONS"
  done
}

# complete_words WORD...: the completions of the last word (the line being
# typed), one a line, from the function the loaded completion registered.
complete_words() {
  local setup="$1"
  shift
  (cd "$work/files" && bash --norc --noprofile -c '
    '"$setup"'
    completion="$(complete -p vexav-convert)" || exit 1
    function="${completion#*-F }"
    function="${function%% *}"
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="${COMP_WORDS[*]}"
    COMP_POINT=${#COMP_LINE}
    "$function" vexav-convert "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort' bash "$@")
}

# expect SETUP WANTED WORD...: the completions of WORD... are WANTED (lines).
expect() {
  local setup="$1" wanted="$2" got
  shift 2
  got="$(complete_words "$setup" "$@")" || fail "completion of '$*' failed"
  [ "$got" = "$wanted" ] || fail "completion of '$*': got [${got//$'\n'/, }], want [${wanted//$'\n'/, }]"
}

check_completion() {
  needs /usr/share/bash-completion/bash_completion bash-completion
  mkdir -p "$work/files/videos/2024" "$work/files/vacation"
  touch "$work/files/clip one.avi" "$work/files/videos/a.avi" "$work/files/notes.txt"
  local direct="source '$data/completion/vexav-convert'"
  expect "$direct" "--log-level" vexav-convert --log
  expect "$direct" $'all\ndebug\nerror\ninfo\nquiet' vexav-convert --log-level ""
  expect "$direct" "debug" vexav-convert --log-level d
  expect "$direct" "info" vexav-convert -j 2 --log-level = i
  expect "$direct" "slurm" vexav-convert --cluster ""
  expect "$direct" "auto" vexav-convert --segments ""
  expect "$direct" $'--cluster\n--cluster-program\n--cluster-status' vexav-convert --clu
  expect "$direct" $'--jobs\n--json' vexav-convert -d out --j
  # Files and folders as sources, folders alone for --output-dir.
  expect "$direct" $'clip one.avi\nnotes.txt\nvacation\nvideos' vexav-convert --jobs 2 ""
  expect "$direct" $'vacation\nvideos' vexav-convert v
  expect "$direct" $'vacation\nvideos' vexav-convert --output-dir ""
  expect "$direct" "videos/2024" vexav-convert -d videos/
  expect "$direct" $'videos/2024\nvideos/a.avi' vexav-convert videos/
  # A value only the user knows; after "--", words are files.
  expect "$direct" "" vexav-convert --jobs ""
  expect "$direct" "" vexav-convert -- --log

  # Through bash-completion's loader, from where the install put it.
  stage
  local loaded="export XDG_DATA_DIRS='$work/root/usr/share'
    source /usr/share/bash-completion/bash_completion
    __load_completion vexav-convert"
  expect "$loaded" "--log-level" vexav-convert --log-l
  expect "$loaded" "slurm" vexav-convert --cluster s
}

case "$check" in
  desktop-entry) check_desktop_entry ;;
  metainfo) check_metainfo ;;
  installed-tree) check_installed_tree ;;
  manual-pages) check_manual_pages ;;
  completion) check_completion ;;
  *) echo "unknown check: $check" >&2; exit 2 ;;
esac
if [ "$failures" -gt 0 ]; then
  echo "$check: $failures failure(s)" >&2
  exit 1
fi
echo "$check: passed"
