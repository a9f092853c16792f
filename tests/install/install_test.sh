#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds a small C program against
# the installed tree through the CMake package and through pkg-config, and
# runs both against omrsim on a pty (or, without omrsim, checks that they run
# and find no reader).
#
#   install_test.sh BUILD_DIR SOURCE_DIR [OMRSIM]
# Environment: OMR_TEST_EXECUTABLES (executables the install must hold),
# OMR_TEST_CFLAGS (flags for the program, e.g. sanitizers), OMR_TEST_PRELOAD
# (LD_PRELOAD for running it), OMR_TEST_LIBDIR (the library folder under the
# prefix, lib by default).
set -euo pipefail

build=$1 source=$2 omrsim=${3:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/omr-install-test.XXXXXX")
sim_pid=
cleanup() {
  if [[ -n $sim_pid ]]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix=$work/prefix
libdir=${OMR_TEST_LIBDIR:-lib}
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "install"; }

# The installed tree.
for f in "$libdir"/libomr.so "$libdir"/libomr.so.1 include/omr.h "$libdir"/cmake/omr/omr-config.cmake \
         "$libdir"/cmake/omr/omr-config-version.cmake "$libdir"/cmake/omr/omrTargets.cmake "$libdir"/pkgconfig/omr.pc; do
  [[ -e $prefix/$f ]] || fail "$f not installed"
done
[[ $(readlink "$prefix/$libdir/libomr.so") == libomr.so.1 ]] || fail "libomr.so does not point at libomr.so.1"
soname=$(readelf -d "$prefix/$libdir/libomr.so.1" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
[[ $soname == libomr.so.1 ]] || fail "SONAME is '$soname'"
# libomr-offline beside it, with its own package files, and the manual pages.
for f in "$libdir"/libomr-offline.so "$libdir"/libomr-offline.so.1 include/omr_offline.h \
         "$libdir"/cmake/omr-offline/omr-offline-config.cmake "$libdir"/cmake/omr-offline/omr-offline-config-version.cmake \
         "$libdir"/pkgconfig/omr-offline.pc share/omr/examples/decode_sheet.c share/omr/examples/exam60.grid; do
  [[ -e $prefix/$f ]] || fail "$f not installed"
done
for exe in ${OMR_TEST_EXECUTABLES:-}; do
  [[ -f $prefix/share/man/man1/$exe.1 ]] || fail "share/man/man1/$exe.1 not installed"
done
if nm -D --defined-only "$prefix/$libdir/libomr-offline.so.1" | awk '{print $3}' | grep -v '^omro_'; then
  fail "libomr-offline exports more than omro_*"
fi
for exe in ${OMR_TEST_EXECUTABLES:-}; do
  [[ -x $prefix/bin/$exe ]] || fail "bin/$exe not installed"
done
forms=("$source"/examples/*.form)
if [[ -e ${forms[0]} ]]; then
  for f in "${forms[@]}"; do
    [[ -f $prefix/share/omr/examples/$(basename "$f") ]] || fail "example form $(basename "$f") not installed"
  done
fi
# The installed programs find the installed library by their run path, without
# LD_LIBRARY_PATH, from this prefix and from the same tree moved elsewhere.
runs_alone() {
  local root=$1 exe libs
  for exe in ${OMR_TEST_EXECUTABLES:-}; do
    env -u LD_LIBRARY_PATH "$root/bin/$exe" --help >/dev/null 2>&1 ||
      fail "installed $exe does not run without LD_LIBRARY_PATH from $root"
    # Read whole first: grep -q leaving early would fail the pipe (pipefail).
    libs=$(env -u LD_LIBRARY_PATH ldd "$root/bin/$exe")
    local lib
    for lib in libomr.so.1 libomr-offline.so.1; do
      if grep -qF "$lib =>" <<<"$libs"; then
        grep -qF "$lib => $root/" <<<"$libs" ||
          fail "installed $exe loads another ${lib%.so.1}: $(grep omr <<<"$libs")"
      fi
    done
  done
}
runs_alone "$prefix"
mv "$prefix" "$work/moved"
runs_alone "$work/moved"
mv "$work/moved" "$prefix"

# Nothing of the build tree's internals.
if find "$prefix" -name '*omr_core*' -o -name '*gtest*' -o -name '*omr_sim*' | grep .; then
  fail "internal libraries were installed"
fi

consumer=$source/tests/install/consumer
cflags=${OMR_TEST_CFLAGS:-}

# 1. CMake: find_package(omr) and omr::omr.
cmake -S "$consumer" -B "$work/by-cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="$cflags" \
  >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "configure against the CMake package"; }
cmake --build "$work/by-cmake" >>"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "build with the CMake package"; }

# 2. pkg-config, found through PKG_CONFIG_PATH only.
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
pc_flags=$(pkg-config --cflags --libs omr) || fail "pkg-config does not find omr"
[[ $pc_flags == *-I"$prefix"* ]] ||
  fail "pkg-config flags do not name the install prefix: $pc_flags"
[[ $(pkg-config --modversion omr) == 1.* ]] || fail "pkg-config version"
# shellcheck disable=SC2086
cc $cflags "$consumer/consumer.c" $pc_flags -o "$work/by-pkg-config" || fail "build with pkg-config"

run() {
  env LD_LIBRARY_PATH="$prefix/$libdir" ${OMR_TEST_PRELOAD:+LD_PRELOAD="$OMR_TEST_PRELOAD"} "$@"
}

# 3. The offline example, through pkg-config and through the CMake package:
#    it decodes the installed saved grid and writes its picture.
examples=$prefix/share/omr/examples
# shellcheck disable=SC2086
cc $cflags "$examples/decode_sheet.c" $(pkg-config --cflags --libs omr-offline) -o "$work/decode-by-pkg-config" ||
  fail "build the offline example with pkg-config"
[[ $(pkg-config --modversion omr-offline) == 1.* ]] || fail "pkg-config version of omr-offline"
cmake -S "$source/tests/install/consumer_offline" -B "$work/offline-by-cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="$cflags" -DDECODE_SHEET_SOURCE="$examples/decode_sheet.c" >"$work/offline.log" 2>&1 ||
  { cat "$work/offline.log"; fail "configure against the omr-offline CMake package"; }
cmake --build "$work/offline-by-cmake" >>"$work/offline.log" 2>&1 || { cat "$work/offline.log"; fail "build with omr-offline"; }
for program in "$work/decode-by-pkg-config" "$work/offline-by-cmake/decode_sheet"; do
  run ldd "$program" | grep "libomr-offline.so.1 => $prefix/$libdir/libomr-offline.so.1" >/dev/null ||
    fail "$program does not load the installed libomr-offline"
  out=$(run "$program" "$examples/exam60.form" "$examples/exam60.grid" "$work/sheet.png") || fail "$program failed"
  [[ $(head -n1 <<<"$out") == "read: code 0, 70 questions, 3 doubtful" && -s $work/sheet.png ]] ||
    fail "$program printed: $(head -n1 <<<"$out")"
  rm -f "$work/sheet.png"
done
# Every program must use the installed library.
for program in "$work/by-cmake/consumer" "$work/by-pkg-config"; do
  run ldd "$program" | grep "libomr.so.1 => $prefix/$libdir/libomr.so.1" >/dev/null ||
    fail "$program does not load the installed library: $(run ldd "$program" | grep omr)"
done

form=$prefix/share/omr/examples/exam60.form
if [[ -z $omrsim ]]; then
  for program in "$work/by-cmake/consumer" "$work/by-pkg-config"; do
    set +e
    OMR_SERIAL_PORTS=$work/no-reader run "$program" "$form"
    rc=$?
    set -e
    [[ $rc == 3 ]] || fail "$program without a reader answered $rc, not 3"
  done
  echo "installed tree and both builds checked (no simulator: reads not tested)"
  exit 0
fi

start_sim() {
  rm -f "$work/reader" "$work/expected"
  "$omrsim" --link "$work/reader" --form "$form" --answers "$prefix/share/omr/examples/exam60.answers" \
    --expected "$work/expected" >/dev/null 2>"$work/sim.log" &
  sim_pid=$!
  for _ in $(seq 500); do
    [[ -L $work/reader && -s $work/expected ]] && return 0
    kill -0 "$sim_pid" 2>/dev/null || { cat "$work/sim.log"; fail "omrsim stopped"; }
    sleep 0.02
  done
  fail "omrsim made no link"
}
stop_sim() { kill "$sim_pid"; wait "$sim_pid" || true; sim_pid=; }

for program in "$work/by-cmake/consumer" "$work/by-pkg-config"; do
  start_sim
  got=$(OMR_SERIAL_PORTS=$work/reader run "$program" "$form") || fail "$program failed ($?)"
  stop_sim
  # The first sheet's expected line is "LETTER ANSWERS"; the program prints them joined.
  want=$(head -n1 "$work/expected" | sed 's/^\(.\) /\1/')
  [[ $got == "$want" ]] || fail "$program read '$got', expected '$want'"
  echo "$(basename "$program"): $got"
done
