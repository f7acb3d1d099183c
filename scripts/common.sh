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
  # JSON: --probe's output, --json's lines and a cluster batch's report files.
  nlohmann-json3-dev
  # A batch on a Slurm cluster: the commands the front end runs (sbatch,
  # squeue, scontrol, sacct, scancel), and the daemons and munge of the
  # one-node cluster the cluster tests start (scripts/slurm-local.sh).
  slurm-client slurm-wlm munge
  # The font the window's painting tests render text with.
  fonts-dejavu-core
  # The virtual X server and the key presses of the window's keyboard test
  # (and of scripts/screenshot.sh).
  xvfb xauth xdotool
  # The private session bus of the window's dock test (dbus-daemon --session).
  dbus-daemon
  # clang and its run-time libraries (libFuzzer, the sanitizers) for the
  # fuzz targets (scripts/fuzz.sh).
  clang libclang-rt-14-dev
  # The checkers of data/ (desktop entry, AppStream data, manual pages, bash
  # completion), run by its tests and by the packaging.
  desktop-file-utils appstream man-db bash-completion
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

# vexav_build_targets LOG TARGET...: a Release build of the targets named,
# its output in $VEXAV_BUILD/LOG, shown only when the build fails.
vexav_build_targets() {
  local log="$VEXAV_BUILD/$1"
  shift
  mkdir -p "$VEXAV_BUILD"
  {
    cmake -S "$VEXAV_ROOT" -B "$VEXAV_BUILD" -DCMAKE_BUILD_TYPE=Release
    cmake --build "$VEXAV_BUILD" -j"$(nproc)" --target "$@"
  } >"$log" 2>&1 || { cat "$log" >&2; return 1; }
}

# ---- Sanitizers and fuzzing (scripts/sanitize.sh, scripts/fuzz.sh) ----------

# The sanitizer runs take every test of every layer, chosen by CTest label
# (each test carries the first folder under tests/ as its label), so that a
# new layer is covered as soon as it has tests. Left out, by label, each for
# its reason:
VEXAV_UNSANITIZED_LABELS=(
  # Needs a running Slurm cluster; test.sh's cluster stage runs these on the
  # Release build. What runs without a cluster (the report files and job
  # folder, options, segments and joins) is in the cli layer and is covered.
  cluster
)
# (The library layer is not even configured in a sanitizer build: the
# installed library would carry the sanitizer's run time, which a program
# built apart does not link; see tests/library/CMakeLists.txt.)

# Single tests left out of the sanitizer runs, by name, each for its reason:
VEXAV_UNSANITIZED_TESTS=(
  # Looks for the build folder's path in the installed binaries (no RUNPATH
  # into the build tree). A sanitizer build is a Debug build, whose debug
  # information records the folders it was compiled in; the Release build of
  # test.sh's first stage, which has none, runs it.
  InstallLayout.NoInstalledBinaryNamesTheBuildFolder
)

# Tests that unload the media libraries and load them again. Two libraries
# that libavformat pulls in, libgcrypt and libchromaprint, keep blocks they
# allocate when loaded and lose them when unloaded (6 and 7 blocks, 12.6 kB
# per load; kept loaded, nothing leaks). LeakSanitizer looks after the
# unload, when no frame of theirs can be named any more, so no suppression
# can say which; these run in a pass of their own with the leak check off,
# AddressSanitizer and UBSan still on.
VEXAV_LEAK_UNCHECKED_TESTS=(
  LoadFFmpegLibs.KeepsTheFolderOfTheLoadThatBoundTheSet
  LoadFFmpegLibs.UnloadThenLoadAgain
  PathRule.LoadingFromAFolderPutsItInPathOnce
  FrameHookTest.ANameWithoutAFolderIsLookedForInTheLibraryFolderFirst
)

# ThreadSanitizer sees no ordering inside code it did not instrument; these
# layers' tests are left out of the thread run for that reason:
VEXAV_UNTHREADSANITIZED_LABELS=(
  "${VEXAV_UNSANITIZED_LABELS[@]}"
  # Qt is not instrumented: its locks and wait conditions are futexes inside
  # libQt6Core that ThreadSanitizer does not see, so the hand-overs between
  # the window and its worker thread cannot be told from races.
  window
)

# Makes every sanitizer report end the program with a failure, and names the
# suppression files of tests/sanitizers (library internals only). Qt runs on
# its offscreen platform (the X11 keyboard test asks for xcb itself).
vexav_sanitizer_env() {
  local supp="$VEXAV_ROOT/tests/sanitizers"
  export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$supp/ubsan.supp"
  export LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0"
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$supp/tsan.supp"
  export QT_QPA_PLATFORM=offscreen
}

# vexav_test_names NAME...: the regular expression of these test names for
# ctest -R / -E.
vexav_test_names() {
  local names=("${@//./\\.}") IFS='|'
  printf '^(%s)$' "${names[*]}"
}

# vexav_sanitizer_reports DIR: besides the above, every AddressSanitizer,
# LeakSanitizer and ThreadSanitizer report is written to a file in DIR
# (NAME.PROGRAM.PID) instead of the standard error, so that a report of a
# child process (vexav-convert, vexav-window, started by a test) fails the
# run even when the test only looked at the exit code, or expected a failure
# anyway. UBSan's reports stay on the standard error: with AddressSanitizer in
# the same program, GCC's run time ignores a log path for them.
vexav_sanitizer_reports() {
  # Absolute: the tests run their programs in folders of their own.
  local dir
  dir="$(realpath -m "$1")"
  rm -rf "$dir" && mkdir -p "$dir"
  ASAN_OPTIONS+=":log_path=$dir/asan:log_exe_name=1"
  TSAN_OPTIONS+=":log_path=$dir/tsan:log_exe_name=1"
}

# vexav_sanitizer_build KIND DIR: configures DIR for KIND (address: ASan and
# UBSan; thread: TSan) with gcc, Debug at -O1 with line tables (-g1), and
# builds everything the tests need (with ccache when it is installed).
vexav_sanitizer_build() {
  local kind="$1" dir="$2" sanitize
  case "$kind" in
    address) sanitize=address,undefined ;;
    thread) sanitize=thread ;;
    *) echo "error: unknown sanitizer '$kind' (address or thread)" >&2; return 2 ;;
  esac
  local launcher=()
  if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  cmake -S "$VEXAV_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_FLAGS_DEBUG="-O1 -g1" -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
    -DVEXAV_SANITIZE="$sanitize" "${launcher[@]}" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
}

# vexav_unsanitized_labels KIND: the label expression of the tests left out
# of KIND's run.
vexav_unsanitized_labels() {
  local IFS='|'
  if [ "$1" = thread ]; then
    printf '^(%s)$' "${VEXAV_UNTHREADSANITIZED_LABELS[*]}"
  else
    printf '^(%s)$' "${VEXAV_UNSANITIZED_LABELS[*]}"
  fi
}

# The fuzz targets, each run in turn by scripts/fuzz.sh: damaged media, then
# the texts the program reads (option texts, the command line, the cluster's
# task reports and job.json, the window's config.ini).
VEXAV_FUZZ_TARGETS=(vexav_probe_convert_fuzzer vexav_option_text_fuzzer vexav_command_line_fuzzer
  vexav_cluster_report_fuzzer vexav_config_ini_fuzzer)

# vexav_fuzz_build DIR: configures DIR with clang for the fuzz targets
# (VEXAV_FUZZ=ON) and builds only them and the media generator.
vexav_fuzz_build() {
  local dir="$1"
  cmake -S "$VEXAV_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_FLAGS_DEBUG="-O1 -g" -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
    -DVEXAV_FUZZ=ON -DVEXAV_TESTS=OFF >/dev/null
  cmake --build "$dir" -j"$(nproc)" --target "${VEXAV_FUZZ_TARGETS[@]}" vexav-mediagen
}

# vexav_fuzz_seeds MEDIAGEN DIR: the seed corpus, tiny generated files of
# each kind the converter takes in (made once; nothing binary is kept in the
# repository).
vexav_fuzz_seeds() {
  local gen="$1" dir="$2"
  mkdir -p "$dir"
  local small=(--size 32x24 --rate 10 --duration 0.4 --marks 0.1)
  local -A seeds=(
    [mpeg4-mp3.avi]="--video mpeg4 --audio mp3 --sample-rate 22050 --channels 1"
    [mjpeg-pcm.avi]="--video mjpeg --audio pcm --sample-rate 8000 --channels 1"
    [raw-none.avi]="--video raw --audio none"
    [mp3-stereo.mp3]="--video none --audio mp3 --sample-rate 22050 --channels 2"
    [pcm-mono.wav]="--video none --audio pcm --sample-rate 8000 --channels 1"
  )
  local name
  for name in "${!seeds[@]}"; do
    [ -s "$dir/$name" ] && continue
    # shellcheck disable=SC2086
    "$gen" "${small[@]}" ${seeds[$name]} "$dir/$name" >/dev/null
  done
}
