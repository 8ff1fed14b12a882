#!/usr/bin/env bash
# Installs the current build tree into a scratch prefix and uses it as a
# stranger would: the installed kestrel-host from the PATH, a third-party
# plug-in built with find_package(Kestrel) and loaded through --home, a host
# linked through pkg-config, and (when cpack and dpkg-deb are present) the
# Debian package. Everything happens under one temporary folder, removed at exit.
#
# Environment (set by CTest): KESTREL_BUILD_DIR, KESTREL_SOURCE_DIR, KESTREL_CXX,
# KESTREL_SANITIZE, KESTREL_HOSTDIR and KESTREL_LIBDIR (relative to the prefix),
# KESTREL_VERSION, CMAKE, CPACK (empty: no Debian package), CMAKE_GENERATOR.
set -euo pipefail

build=${KESTREL_BUILD_DIR:?}
source=${KESTREL_SOURCE_DIR:?}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-install.XXXXXX")
host_pid=
cleanup() {
  if [ -n "$host_pid" ]; then kill "$host_pid" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
check() {  # check DESCRIPTION COMMAND...: the command must succeed
  local what=$1
  shift
  if ! "$@"; then fail "$what"; fi
}
step() { printf -- '--- %s\n' "$*"; }

# The flags a program needs to link against libraries built with sanitizers.
sanitize_flags=()
if [ -n "${KESTREL_SANITIZE:-}" ]; then sanitize_flags=(-fsanitize="$KESTREL_SANITIZE"); fi

# Checks an installed tree under ROOT (PREFIX being the installed prefix there).
check_layout() {
  local root=$1 hostdir=$2
  check "bin/kestrel-host is a symbolic link" test -L "$root/bin/kestrel-host"
  check "bin/kestrel-host leads to the host directory's kestrel-host" \
    test "$(readlink -f "$root/bin/kestrel-host")" = "$(readlink -f "$hostdir/kestrel-host")"
  for f in kestrel-host libKestrelDriver.so Heron.so Plover.so Sparrow.so ContactID.xml \
           examples/pos-tcp/pos.xml examples/pos-tcp/journal.txt examples/plugin-skeleton/CMakeLists.txt; do
    check "$f is a real file in the host directory" test -f "$hostdir/$f" -a ! -L "$hostdir/$f"
  done
  check "share/kestrel/examples shows the examples" test -f "$root/share/kestrel/examples/pos-tcp/README.md"
  check "share/kestrel holds the configuration schema" test -f "$root/share/kestrel/kestrel-configuration.xsd"
  check "the man page is installed and gzip-valid" gzip -t "$root/share/man/man1/kestrel-host.1.gz"
  for h in kestrel.h exports.h data_api.h validator_api.h; do
    check "include/kestrel/$h is installed" test -f "$root/include/kestrel/$h"
  done
  local strays
  strays=$(find "$root" \( -name '*_tests' -o -name '*_replay' -o -name '*_bench' -o -name '*_fuzz' \
                           -o -name 'TestValidator*' -o -name 'HeronNoRelease*' -o -name '*.a' \) -print)
  if [ -n "$strays" ]; then fail "test programs, benchmarks or fuzz replays installed: $strays"; fi
}

# The installed kestrel-host, started from the PATH in another folder, finds the
# driver, its configuration and the journal through the host-directory rule.
check_host() {
  local bindir=$1 label=$2
  local out=$scratch/host-$label.out
  if ! (cd / && PATH="$bindir:$PATH" timeout 30 kestrel-host models >"$out" 2>&1); then
    fail "$label: kestrel-host models"; cat "$out" >&2
  elif ! grep -qx KestrelTcpModel "$out"; then
    fail "$label: kestrel-host models does not list KestrelTcpModel"; cat "$out" >&2
  fi
  if ! (cd / && PATH="$bindir:$PATH" timeout 60 kestrel-host demo >"$out" 2>&1); then
    fail "$label: kestrel-host demo"; tail -n 20 "$out" >&2
  elif ! grep -q '"type":"event".*"Sale"' "$out"; then
    fail "$label: the demo reported no Sale event"; tail -n 20 "$out" >&2
  fi
  if ! (cd / && PATH="$bindir:$PATH" timeout 30 kestrel-host check KestrelTcpModel -p 2=Text \
          -p 3=examples/pos-tcp/pos.xml >"$out" 2>&1); then
    fail "$label: kestrel-host check of the point-of-sale example"; cat "$out" >&2
  elif ! grep -q '^problems (0)' "$out"; then
    fail "$label: check found problems in the point-of-sale example"; cat "$out" >&2
  elif ! grep -q '^schema: the file follows .*/share/kestrel/kestrel-configuration.xsd$' "$out"; then
    fail "$label: check did not use the installed configuration schema"; cat "$out" >&2
  fi
}

# A local TCP port nobody listens on now.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Waits up to 15 s for a line matching PATTERN in FILE.
wait_for() {
  local pattern=$1 file=$2
  for _ in $(seq 150); do
    if grep -q "$pattern" "$file" 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  return 1
}

# The DoorLine example plug-in, copied into a home folder of our own with its
# configuration, is loaded by the installed driver and validates real lines.
check_plugin_session() {
  local bindir=$1 plugin=$2 home=$scratch/home out=$scratch/door.out port
  mkdir -p "$home"
  cp "$plugin" "$source/examples/plugin-skeleton/door.xml" "$home/"
  port=$(free_port)
  PATH="$bindir:$PATH" kestrel-host --home "$home" run KestrelTcpModel \
    -p 1="$port" -p 2=Custom -p 3=door.xml -p 4=DoorLine -p 5=0 --seconds 30 >"$out" 2>&1 &
  host_pid=$!
  if ! wait_for '"type":"started"' "$out"; then
    fail "the door session did not start"; cat "$out" >&2
  else
    local sent=
    for _ in $(seq 30); do
      if (exec 3<>"/dev/tcp/127.0.0.1/$port" && cat "$source/examples/plugin-skeleton/doors.txt" >&3) 2>/dev/null; then
        sent=yes
        break
      fi
      sleep 0.1
    done
    [ -n "$sent" ] || fail "could not connect to the door session on port $port"
    if ! wait_for 'Door 12 opened' "$out"; then fail "DoorLine's documents were not mapped to events"; fi
    check "Door 3 opened is reported" grep -q '"type":"event".*Door 3 opened' "$out"
    check "Door 3 closed is reported" grep -q '"type":"event".*Door 3 closed' "$out"
    check "the malformed line is refused with DoorLine's reason" grep -q 'not a DOOR <number> OPEN|CLOSED line' "$out"
  fi
  kill -TERM "$host_pid" 2>/dev/null || true
  wait "$host_pid" || true
  host_pid=
  if [ "$failures" -ne 0 ]; then tail -n 30 "$out" >&2; fi
}

prefix=$scratch/prefix
hostdir=$prefix/$KESTREL_HOSTDIR

step "cmake --install into a scratch prefix"
"$CMAKE" --install "$build" --prefix "$prefix" >"$scratch/install.log"
check_layout "$prefix" "$hostdir"
check_host "$prefix/bin" prefix

step "third-party plug-in built against the installed package"
skeleton=$scratch/skeleton
if "$CMAKE" -S "$source/examples/plugin-skeleton" -B "$skeleton" -G "$CMAKE_GENERATOR" \
     -DCMAKE_CXX_COMPILER="$KESTREL_CXX" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
     >"$scratch/skeleton.log" 2>&1 &&
   "$CMAKE" --build "$skeleton" >>"$scratch/skeleton.log" 2>&1; then
  exported=$(nm -D --defined-only "$skeleton/DoorLine.so" | awk '$2 == "T" { print $3 }' | sort | tr '\n' ' ')
  check "DoorLine.so exports exactly the plug-in entry points (got: $exported)" \
    test "$exported" = "CreateDriver KestrelProductVersion ReleaseDriver "
  check "the plug-in compiled against the installed headers, not the source tree" \
    grep -q -- "$prefix/include" "$skeleton/compile_commands.json"
  check "the plug-in did not see the source tree's headers" \
    bash -c "! grep -Eq -- '(-I|-isystem )$source/(include|plugins|driver)' '$skeleton/compile_commands.json'"
  check_plugin_session "$prefix/bin" "$skeleton/DoorLine.so"
else
  fail "the plug-in example does not build against the installed package"
  tail -n 30 "$scratch/skeleton.log" >&2
fi

step "host built with find_package(Kestrel) and Kestrel::driver"
probe=$scratch/host-probe
if "$CMAKE" -S "$source/tests/install/host_project" -B "$probe" -G "$CMAKE_GENERATOR" \
     -DCMAKE_CXX_COMPILER="$KESTREL_CXX" -DCMAKE_PREFIX_PATH="$prefix" -DKESTREL_VERSION="$KESTREL_VERSION" \
     -DCMAKE_CXX_FLAGS="${sanitize_flags[*]}" -DCMAKE_EXE_LINKER_FLAGS="${sanitize_flags[*]}" \
     >"$scratch/probe.log" 2>&1 &&
   "$CMAKE" --build "$probe" >>"$scratch/probe.log" 2>&1; then
  check "a host linked with Kestrel::driver reads the TCP model's parameters" \
    bash -c "'$probe/list_parameters' KestrelTcpModel | grep -q ."
else
  fail "no host builds with find_package(Kestrel) and Kestrel::driver"
  tail -n 30 "$scratch/probe.log" >&2
fi

step "pkg-config"
export PKG_CONFIG_PATH=$prefix/$KESTREL_LIBDIR/pkgconfig
if read -r -a cflags < <(pkg-config --cflags kestrel) && read -r -a libs < <(pkg-config --libs kestrel); then
  check "pkg-config reports the version" test "$(pkg-config --modversion kestrel)" = "$KESTREL_VERSION"
  # A host linked through those flags runs against the installed driver.
  if "$KESTREL_CXX" -std=c++17 "${sanitize_flags[@]}" "${cflags[@]}" "$source/tests/install/list_parameters.cpp" \
       "${libs[@]}" -o "$scratch/list_parameters" 2>"$scratch/pc.log"; then
    check "a host linked with pkg-config's flags reads the TCP model's parameters" \
      bash -c "'$scratch/list_parameters' KestrelTcpModel | grep -q ."
  else
    fail "no host links with pkg-config --cflags --libs kestrel"; cat "$scratch/pc.log" >&2
  fi
  read -r -a plugin_cflags < <(pkg-config --cflags kestrel-plugin)
  check "the plug-in example compiles with pkg-config --cflags kestrel-plugin alone" \
    "$KESTREL_CXX" -std=c++17 -fsyntax-only "${plugin_cflags[@]}" -DDOOR_LINE_VERSION='"1"' \
    "$source/examples/plugin-skeleton/door_line.cpp"
else
  fail "pkg-config does not resolve kestrel"
fi

step "Debian package"
if command -v dpkg-deb >/dev/null && [ -x "${CPACK:-}" ]; then
  if (cd "$build" && "$CPACK" -G DEB -B "$scratch/deb") >"$scratch/cpack.log" 2>&1; then
    deb=$(find "$scratch/deb" -maxdepth 1 -name 'kestrel_*.deb' -print -quit)
    if [ -z "$deb" ]; then
      fail "cpack made no kestrel_*.deb"
    else
      info=$(dpkg-deb -f "$deb" Package Version Depends)
      check "the package is named kestrel" grep -qx "Package: kestrel" <<<"$info"
      check "the package has version $KESTREL_VERSION" grep -qx "Version: $KESTREL_VERSION" <<<"$info"
      for dependency in libc6 libstdc++6 libxml2 libcurl4 'libboost-regex' libpcre2-8-0 're2'; do
        check "Depends names $dependency" grep -q "^Depends:.*$dependency" <<<"$info"
      done
      dpkg-deb -c "$deb" | awk '{ print $6 }' >"$scratch/deb-files"
      check "the package installs under /usr" bash -c "! grep -v '^\./usr/\|^\./$' '$scratch/deb-files'"
      check "the package holds bin/kestrel-host" grep -qx './usr/bin/kestrel-host' "$scratch/deb-files"
      root=$scratch/root
      dpkg-deb -x "$deb" "$root"
      check_layout "$root/usr" "$root/usr/$KESTREL_HOSTDIR"
      check "the packaged kestrel-host lists the models" \
        bash -c "'$root/usr/bin/kestrel-host' models | grep -qx KestrelTcpModel"
      echo "$(basename "$deb"): $(du -k "$deb" | cut -f1) KiB; $(grep '^Depends' <<<"$info")"
    fi
  else
    fail "cpack -G DEB failed"; tail -n 30 "$scratch/cpack.log" >&2
  fi
else
  echo "cpack or dpkg-deb missing: the Debian package is not checked"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "install: all checks passed"
