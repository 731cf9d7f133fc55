#!/usr/bin/env bash
# Provides a free-threaded CPython 3.13 (python3.13t) to build and test the
# extension against. Bookworm ships no 3.13 and trixie's binaries would pull in
# a newer libc, so this builds Debian trixie's python3.13 *source* package
# (Debian patches applied) once and caches it under $QUARNEL_PY313T_PREFIX
# (default /opt/quarnel-python3.13t). Only a trixie deb-src line is added to
# apt, never a binary one, so the system itself is never upgraded.
#
# stdout: only the interpreter path. Progress goes to stderr; build output goes
# to a log file whose path and tail are printed on failure.
#
# Running pytest under it (Debian's pure-Python pytest from python3-pytest):
#   PY=$(scripts/build-python.sh)
#   PYTHONPATH=/usr/lib/python3/dist-packages "$PY" -m pytest ...
# That pytest (7.2) uses ast names deprecated in 3.13, so it warns while
# rewriting asserts ("ast.Str is deprecated", "Attribute s is deprecated"); two `-W ignore:...`
# options in test.sh silence them, and
# `-W error::DeprecationWarning` would break collection.
# An extension module that does not declare Py_mod_gil = Py_MOD_GIL_NOT_USED
# turns the GIL back on when imported here.
# Needs root (apt-get, install under /opt) unless the cache is already built.
set -euo pipefail
shopt -s inherit_errexit

readonly prefix="${QUARNEL_PY313T_PREFIX:-/opt/quarnel-python3.13t}"
readonly interpreter="$prefix/bin/python3.13t"
readonly marker_name=.quarnel-python3.13t
readonly sources_file=/etc/apt/sources.list.d/quarnel-trixie-src.list
readonly lock_file=/tmp/quarnel-python3.13t.lock
readonly debian_dist_packages=/usr/lib/python3/dist-packages
readonly fallback_mirror=http://deb.debian.org/debian
# Only what the module's tests and pytest need: ssl, zlib, ctypes, bz2, lzma, expat.
readonly apt_packages=(
  build-essential dpkg-dev pkg-config xz-utils
  libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libexpat1-dev
  python3-pytest
)
# Extension modules that nothing here uses, left out even where their libraries are
# installed; with the test modules, that saves a good part of the build.
readonly skipped_modules=(
  _sqlite3 _curses _curses_panel readline _dbm _gdbm _uuid _tkinter
)

log_file=""
work_dir=""

say() { printf 'build-python: %s\n' "$*" >&2; }
die() { say "error: $*"; exit 1; }

# Appends a command's output to the build log so stdout stays clean.
run_logged() { "$@" >>"$log_file" 2>&1; }

on_exit() {
  local -r status=$?
  if [[ $status -ne 0 && -n $log_file ]]; then
    say "failed (exit $status); build log: $log_file"
    tail -n 40 "$log_file" >&2 || true
  fi
  if [[ -n $work_dir ]]; then rm -rf -- "$work_dir"; fi
}

is_usable() {
  [[ -x $interpreter ]] && "$interpreter" -I -c '
import sys, sysconfig
assert sys.version_info[:2] == (3, 13)
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1
' >/dev/null 2>&1
}

# The mirror this machine already uses for its own release, so the trixie
# sources come through the same (reachable) host.
detect_mirror() {
  local codename uri
  # shellcheck source=/dev/null
  codename=$(. /etc/os-release && printf '%s' "${VERSION_CODENAME:-bookworm}")
  # `sed -n 1p` reads its input to the end, so no writer dies of SIGPIPE under pipefail.
  uri=$(
    {
      awk -v suite="$codename" '
        $1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /:\/\//) {
          if ($(i + 1) == suite) print $i; break } }
      ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true
      awk -v suite="$codename" -v RS='' '
        {
          uris = ""; suites = ""
          n = split($0, lines, "\n")
          for (i = 1; i <= n; i++) {
            if (lines[i] ~ /^URIs:/) { uris = lines[i]; sub(/^URIs:[ \t]*/, "", uris) }
            if (lines[i] ~ /^Suites:/) { suites = " " lines[i] " " }
          }
          if (uris != "" && suites ~ ("[ \t]" suite "[ \t]")) { split(uris, u, /[ \t]+/); print u[1] }
        }
      ' /etc/apt/sources.list.d/*.sources 2>/dev/null || true
    } | sed -n 1p
  )
  printf '%s\n' "${uri:-$fallback_mirror}"
}

configure_trixie_sources() {
  local line
  line="deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(detect_mirror) trixie main"
  if [[ ! -f $sources_file || $(<"$sources_file") != "$line" ]]; then
    say "adding $sources_file: $line"
    printf '%s\n' "$line" >"$sources_file"
  fi
}

install_build_deps() {
  say "apt-get update and build dependencies"
  run_logged apt-get -o Acquire::Retries=3 update
  DEBIAN_FRONTEND=noninteractive run_logged \
    apt-get install -y --no-install-recommends "${apt_packages[@]}"
}

# Prints the unpacked source tree (Debian's patches applied by dpkg-source).
fetch_source() {
  local -r dir="$work_dir/src"
  mkdir -p "$dir"
  # Lets apt's sandbox user write the download, avoiding the root warning.
  chown _apt "$dir" 2>/dev/null || true
  (cd "$dir" && run_logged apt-get source python3.13/trixie)
  find "$dir" -mindepth 1 -maxdepth 1 -type d -name 'python3.13-*' | sed -n 1p
}

build_and_stage() {
  local -r src=$1 stage=$2
  say "building $(basename "$src") (log: $log_file)"
  # --without-ensurepip: Debian's patches disable the bundled pip anyway.
  local skip=() module
  for module in "${skipped_modules[@]}"; do skip+=("py_cv_module_${module}=n/a"); done
  (cd "$src" && run_logged ./configure --disable-gil --prefix="$prefix" --without-ensurepip \
    --disable-test-modules "${skip[@]}")
  run_logged make -C "$src" -j"$(nproc)"
  run_logged make -C "$src" install DESTDIR="$stage"
}

# Debian's default install scheme names the stdlib lib/python3.13 while a
# free-threaded install puts it in lib/python3.13t; alias it so sysconfig's
# paths point at real directories.
fix_layout() {
  local -r root=$1
  [[ -x $root/bin/python3.13t ]] || die "make install produced no bin/python3.13t"
  [[ -f $root/include/python3.13t/Python.h ]] || die "make install produced no include/python3.13t"
  if [[ ! -e $root/lib/python3.13 ]]; then ln -s python3.13t "$root/lib/python3.13"; fi
  : >"$root/$marker_name"
}

# Only an earlier (broken) cache of ours may be replaced, never an unrelated
# directory; checked before the build so a bad prefix fails fast.
require_replaceable_prefix() {
  if [[ -e $prefix && ! -f $prefix/$marker_name && -n $(ls -A "$prefix" 2>/dev/null) ]]; then
    die "$prefix exists and was not made by this script; remove it or set QUARNEL_PY313T_PREFIX"
  fi
}

publish() {
  local -r staged=$1
  rm -rf -- "$prefix"
  mkdir -p "$(dirname "$prefix")"
  mv "$staged" "$prefix"
}

verify() {
  local gil_check pytest_version
  gil_check=$("$interpreter" -I -c '
import sys, sysconfig
print(sysconfig.get_config_var("Py_GIL_DISABLED"), sys._is_gil_enabled())
')
  [[ $gil_check == "1 False" ]] || die "interpreter is not free-threaded: $gil_check"
  pytest_version=$(PYTHONPATH=$debian_dist_packages "$interpreter" -m pytest --version 2>&1) ||
    die "pytest does not run under $interpreter: $pytest_version"
  say "verified: free-threaded, GIL off; $pytest_version"
}

build() {
  [[ $EUID -eq 0 ]] || die "building the cache needs root (apt-get, $prefix)"
  require_replaceable_prefix
  log_file=$(mktemp /tmp/quarnel-python3.13t-build.XXXXXX.log)
  work_dir=$(mktemp -d /tmp/quarnel-python3.13t-work.XXXXXX)
  chmod 755 "$work_dir"
  local -r started=$SECONDS
  configure_trixie_sources
  install_build_deps
  local src
  src=$(fetch_source)
  [[ -n $src ]] || die "apt-get source python3.13 unpacked nothing"
  build_and_stage "$src" "$work_dir/stage"
  fix_layout "$work_dir/stage$prefix"
  publish "$work_dir/stage$prefix"
  verify
  say "built in $((SECONDS - started)) s; build log: $log_file"
}

main() {
  trap on_exit EXIT
  if ! is_usable; then
    exec 9>"$lock_file"
    flock 9
    # Another run may have finished the build while this one waited.
    is_usable || build
  fi
  printf '%s\n' "$interpreter"
}

main "$@"
