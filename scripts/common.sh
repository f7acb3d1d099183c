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

# ---- Sanitizers and fuzzing (scripts/sanitize.sh, scripts/fuzz.sh) ----------

# The layers whose tests run under the sanitizers: the engine and the
# converter component (CTest labels and build targets vexav_<layer>_tests).
VEXAV_SANITIZED_LAYERS=(engine component)

# Makes every sanitizer report end the program with a failure, and names the
# suppression files of tests/sanitizers (library internals only).
vexav_sanitizer_env() {
  local supp="$VEXAV_ROOT/tests/sanitizers"
  export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$supp/ubsan.supp"
  export LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0"
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$supp/tsan.supp"
}

# vexav_sanitizer_build KIND DIR: configures DIR for KIND (address: ASan and
# UBSan; thread: TSan) with gcc, Debug at -O1, and builds only the test
# binaries of the sanitized layers and what they need.
vexav_sanitizer_build() {
  local kind="$1" dir="$2" sanitize
  case "$kind" in
    address) sanitize=address,undefined ;;
    thread) sanitize=thread ;;
    *) echo "error: unknown sanitizer '$kind' (address or thread)" >&2; return 2 ;;
  esac
  cmake -S "$VEXAV_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_FLAGS_DEBUG="-O1 -g" -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
    -DVEXAV_SANITIZE="$sanitize" >/dev/null
  local targets=() layer
  for layer in "${VEXAV_SANITIZED_LAYERS[@]}"; do targets+=(--target "vexav_${layer}_tests"); done
  cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
}

# The label expression that selects the sanitized layers' tests in CTest.
vexav_sanitized_labels() {
  local IFS='|'
  printf '^(%s)$' "${VEXAV_SANITIZED_LAYERS[*]}"
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
