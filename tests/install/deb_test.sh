#!/usr/bin/env bash
# The Debian packages: built by scripts/build-debs, checked for what they hold,
# checked by lintian, then installed, used and removed in a throwaway root.
#
#   deb_test.sh build  BUILD_DIR SOURCE_DIR DEBS_DIR   builds into DEBS_DIR, checks contents
#   deb_test.sh lint   BUILD_DIR SOURCE_DIR DEBS_DIR   lintian: no error, no warning
#   deb_test.sh root   BUILD_DIR SOURCE_DIR DEBS_DIR   apt in a throwaway root
#
# The throwaway root is the machine's own root seen through an overlay whose
# writable layer is a tmpfs, in a private mount namespace: installing there
# changes nothing on the machine, and every mount ends with the test however
# it ends. Nothing is installed into the real /usr. It needs root (exit 77,
# skipped, without it).
set -euo pipefail

mode=$1 build=$2 source=$3 debs=$4
fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }
arch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
version=$(sed -n 's/^OMR_VERSION=//p' "$build/packaging.env")
maintainer=$(sed -n 's/^OMR_MAINTAINER=//p' "$build/packaging.env")

deb_of() { ls "$debs/$1"_*.deb 2>/dev/null | head -n1; }
# "path" or "path -> target" for each entry of a package, without "./".
contents() {
  dpkg-deb -c "$1" | awk '{ p = $6; for (i = 7; i <= NF; ++i) p = p " " $i; sub(/^\.\//, "", p); if (p != "") print p }'
}

build_and_check() {
  rm -rf "$debs"
  "$source/scripts/build-debs" "$build" "$debs" || fail "scripts/build-debs"
  local pkg deb list offline_version
  offline_version=$(sed -n 's/^#define OMRO_VERSION_[A-Z]* \([0-9]*\).*/\1/p' "$source/include/omr_offline.h" | paste -sd.)
  # Every package, with what its name promises.
  declare -A must=(
    [libomr1]="usr/lib/$arch/libomr.so.$version|usr/lib/$arch/libomr.so.1 -> libomr.so.$version"
    [libomr-dev]="usr/include/omr.h|usr/lib/$arch/libomr.so -> libomr.so.1|usr/lib/$arch/pkgconfig/omr.pc|usr/lib/$arch/cmake/omr/omr-config.cmake|usr/lib/$arch/cmake/omr/omrTargets.cmake"
    [libomr-offline1]="usr/lib/$arch/libomr-offline.so.$offline_version|usr/lib/$arch/libomr-offline.so.1 -> libomr-offline.so.$offline_version"
    [libomr-offline-dev]="usr/include/omr_offline.h|usr/lib/$arch/libomr-offline.so -> libomr-offline.so.1|usr/lib/$arch/pkgconfig/omr-offline.pc|usr/lib/$arch/cmake/omr-offline/omr-offline-config.cmake"
    [omr-tools]="usr/share/omr/examples/exam60.form|usr/share/omr/examples/exam60.answers|usr/share/omr/examples/decode_sheet.c|usr/share/omr/examples/exam60.exam.json|usr/share/omr/examples/exam60.students.csv|usr/share/doc/omr-tools/forms.md|usr/share/doc/omr-tools/exams.md"
    [python3-omr]="usr/lib/python3/dist-packages/omr/__init__.py|usr/lib/python3/dist-packages/omr/_library.py|usr/lib/python3/dist-packages/omr/offline.py|usr/lib/python3/dist-packages/omr/exam.py|usr/lib/python3/dist-packages/omr-$version.dist-info/METADATA"
  )
  for exe in ${OMR_TEST_EXECUTABLES:-}; do must[omr-tools]+="|usr/bin/$exe|usr/share/man/man1/$exe.1.gz"; done
  # The office without a terminal: the menu entry, its icon and the user unit (an omrctl with the office).
  if [[ " ${OMR_TEST_EXECUTABLES:-} " == *" omrctl "* ]] && grep -q OMR_WITH_REVIEW "$build/tools/omrctl/CMakeFiles/omrctl.dir/flags.make" 2>/dev/null; then
    must[omr-tools]+="|usr/share/applications/omr-office.desktop|usr/share/icons/hicolor/scalable/apps/omr-office.svg|usr/lib/systemd/user/omr-office.service"
  fi
  for pkg in "${!must[@]}"; do
    deb=$(deb_of "$pkg")
    [[ -f $deb ]] || fail "no package $pkg"
    list=$(contents "$deb")
    IFS='|' read -ra paths <<<"${must[$pkg]}|usr/share/doc/$pkg/copyright|usr/share/doc/$pkg/changelog.gz"
    for path in "${paths[@]}"; do grep -qxF "$path" <<<"$list" || fail "$pkg lacks $path"; done
    [[ $(dpkg-deb -f "$deb" Maintainer) == "$maintainer" ]] || fail "$pkg: maintainer $(dpkg-deb -f "$deb" Maintainer)"
    [[ $(dpkg-deb -f "$deb" Version) == "$version" ]] || fail "$pkg: version $(dpkg-deb -f "$deb" Version)"
  done
  # Each file in one package only, nothing outside /usr, none of the build's internals.
  for deb in "$debs"/*.deb; do contents "$deb" | grep -v '/$'; done | sed 's/ -> .*//' | sort | uniq -d >"$debs/twice" || true
  [[ ! -s $debs/twice ]] || fail "in two packages: $(tr '\n' ' ' <"$debs/twice")"
  for deb in "$debs"/*.deb; do
    if contents "$deb" | grep -v '^usr/' | grep .; then fail "$(basename "$deb") puts files outside /usr"; fi
    if contents "$deb" | grep -E 'omr_core|omr_common|omr_sim|omrctl_lib|gtest|gmock|_tests$'; then fail "internals in $(basename "$deb")"; fi
  done
  # Dependencies: computed ones, and the library named by its SONAME.
  dpkg-deb -f "$(deb_of libomr1)" Depends | grep 'libc6 (>=' >/dev/null || fail "libomr1 does not depend on libc6"
  dpkg-deb -f "$(deb_of omr-tools)" Depends | grep -E "(^|, )libomr1 \(>= $version\)" >/dev/null ||
    fail "omr-tools depends on: $(dpkg-deb -f "$(deb_of omr-tools)" Depends)"
  for lib in libomr1 libomr-offline1; do
    dpkg-deb -f "$(deb_of python3-omr)" Depends | grep -E "(^|, )$lib \(>= $version\)" >/dev/null ||
      fail "python3-omr depends on: $(dpkg-deb -f "$(deb_of python3-omr)" Depends)"
  done
  dpkg-deb -I "$(deb_of libomr1)" shlibs | grep -x "libomr 1 libomr1 (>= $version)" >/dev/null || fail "libomr1's shlibs"
  dpkg-deb -I "$(deb_of libomr1)" symbols | grep -x " MR_Read@Base 1.0.0" >/dev/null || fail "libomr1's symbols"
  dpkg-deb -I "$(deb_of libomr-offline1)" shlibs | grep -x "libomr-offline 1 libomr-offline1 (>= $version)" >/dev/null ||
    fail "libomr-offline1's shlibs"
  # The packaged programs carry no RUNPATH: the library is on the system path.
  local unpacked=$debs/unpacked
  dpkg-deb -x "$(deb_of omr-tools)" "$unpacked"
  for exe in ${OMR_TEST_EXECUTABLES:-}; do
    if readelf -d "$unpacked/usr/bin/$exe" | grep -E 'RPATH|RUNPATH'; then fail "$exe has a RUNPATH in the package"; fi
  done
  rm -rf "$unpacked" "$debs/twice"
  echo "packages checked: $(cd "$debs" && ls -- *.deb | tr '\n' ' ')"
}

lint() {
  command -v lintian >/dev/null || fail "lintian is missing (scripts/bootstrap installs it)"
  local report
  # Errors and warnings fail; information tags and overrides are shown.
  report=$(lintian --display-info --show-overrides "$debs"/*.deb 2>&1 | grep -v 'running with root privileges' || true)
  [[ -z $report ]] || echo "$report"
  if grep -E '^[EW]: ' <<<"$report"; then fail "lintian reports errors or warnings"; fi
  echo "lintian: $(ls "$debs"/*.deb | wc -l) packages, no error, no warning"
}

# In the private mount namespace (see root_test).
root_inside() {
  local root
  top=$(mktemp -d "${TMPDIR:-/tmp}/omr-root-test.XXXXXX")
  trap 'umount -R "$top" 2>/dev/null; rmdir "$top"' EXIT
  mount -t tmpfs omr-test "$top"
  mkdir "$top/upper" "$top/work" "$top/root"
  root=$top/root
  mount -t overlay omr-test -o "lowerdir=/,upperdir=$top/upper,workdir=$top/work" "$root" ||
    skip "cannot mount an overlay over / here"
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  # A fresh machine: nothing in /usr/local or /tmp.
  mount -t tmpfs tmpfs "$root/usr/local"
  mount -t tmpfs tmpfs "$root/tmp"
  mkdir -p "$root/usr/local/bin" "$root/usr/local/lib"

  # The packages as an apt repository, the only one apt sees in there.
  local repo=$root/omr-repo
  mkdir -p "$repo"
  cp "$debs"/*.deb "$repo/"
  (cd "$repo" && dpkg-scanpackages --multiversion . >Packages 2>/dev/null)
  echo "deb [trusted=yes] file:/omr-repo ./" >"$repo/sources.list"
  chmod -R a+rX "$repo"
  cp "$source/tests/install/consumer/consumer.c" "$source/tests/install/consumer/CMakeLists.txt" "$root/tmp/"

  in_root() {
    chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/nonexistent LC_ALL=C.UTF-8 \
      DEBIAN_FRONTEND=noninteractive OMR_SERIAL_PORTS=/nonexistent/omr-no-reader "$@"
  }
  apt_in_root() {
    in_root apt-get -q -y --no-install-recommends -o Dir::Etc::SourceList=/omr-repo/sources.list \
      -o Dir::Etc::SourceParts=/nonexistent -o APT::Sandbox::User=root "$@" >"$top/apt.log" 2>&1 ||
      { cat "$top/apt.log"; fail "apt-get $*"; }
  }
  local pkgs=(libomr1 libomr-dev libomr-offline1 libomr-offline-dev omr-tools python3-omr omr) installed=()
  for pkg in "${pkgs[@]}"; do
    if in_root dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep ' installed$' >/dev/null; then installed+=("$pkg"); fi
  done
  # What this machine has of omr is removed in there first.
  if ((${#installed[@]})); then in_root dpkg --purge "${installed[@]}" >/dev/null; fi
  apt_in_root update

  # omr-tools pulls in libomr1.
  apt_in_root install omr-tools
  in_root dpkg-query -W -f='${Status}' libomr1 | grep ' installed$' >/dev/null || fail "installing omr-tools left libomr1 out"
  in_root apt-mark showauto | grep -x libomr1 >/dev/null || fail "libomr1 was not installed as a dependency"
  [[ $(in_root sh -c 'command -v omrctl') == /usr/bin/omrctl ]] || fail "omrctl is not /usr/bin/omrctl"
  in_root ldd /usr/bin/omrctl | grep -E "libomr\.so\.1 => (/usr)?/lib/$arch/libomr\.so\.1 " >/dev/null ||
    fail "omrctl loads: $(in_root ldd /usr/bin/omrctl | grep omr)"
  local said
  said=$(in_root omrctl --version) || fail "omrctl --version failed"
  [[ $said == *"$version"* ]] || fail "omrctl --version says '$said'"
  echo "omrctl --version: $said"

  # A C program built against libomr-dev, through pkg-config and through CMake.
  apt_in_root install libomr-dev
  in_root sh -c 'cc /tmp/consumer.c $(pkg-config --cflags --libs omr) -o /tmp/by-pkg-config' ||
    fail "building with pkg-config against libomr-dev"
  in_root sh -c 'cmake -S /tmp -B /tmp/by-cmake >/tmp/cmake.log 2>&1 && cmake --build /tmp/by-cmake >>/tmp/cmake.log 2>&1' ||
    { cat "$root/tmp/cmake.log"; fail "building with find_package(omr) against libomr-dev"; }
  local rc program
  for program in /tmp/by-pkg-config /tmp/by-cmake/consumer; do
    set +e
    in_root "$program" /usr/share/omr/examples/exam60.form
    rc=$?
    set -e
    [[ $rc == 3 ]] || fail "$program answered $rc without a reader, not 3"
  done

  # The offline example, built against libomr-offline-dev.
  apt_in_root install libomr-offline-dev
  local examples=/usr/share/omr/examples
  in_root sh -c "cc $examples/decode_sheet.c \$(pkg-config --cflags --libs omr-offline) -o /tmp/decode_sheet" ||
    fail "building the offline example with pkg-config against libomr-offline-dev"
  local by_c
  by_c=$(in_root /tmp/decode_sheet $examples/exam60.form $examples/exam60.grid /tmp/c.png) ||
    fail "the offline example in C failed"

  # python3-omr: the module from dist-packages, the library by its SONAME.
  apt_in_root install python3-omr
  local lines
  lines=$(in_root python3 -c 'import omr; m = omr.error_message(3); print(omr.__file__); print(omr.library_path()); print(m)') ||
    fail "import omr with python3-omr"
  mapfile -t lines <<<"$lines"
  [[ ${lines[0]} == /usr/lib/python3/dist-packages/omr/__init__.py ]] || fail "omr imported from ${lines[0]}"
  [[ ${lines[1]} =~ ^(/usr)?/lib/$arch/libomr\.so\.1$ ]] || fail "omr loaded ${lines[1]}"
  [[ ${lines[2]} == "Double page" ]] || fail "omr.error_message(3) is '${lines[2]}'"
  echo "python3 -c 'import omr': ${lines[0]}, library ${lines[1]}"
  ls "$root"/usr/lib/python3/dist-packages/omr/__pycache__/*.pyc >/dev/null 2>&1 || fail "python3-omr was not byte-compiled"
  local by_python
  by_python=$(in_root python3 $examples/decode_sheet.py $examples/exam60.form $examples/exam60.grid /tmp/py.png) ||
    fail "the offline example in Python failed"
  [[ $by_python == "$by_c" && $by_c == "read: code 0, "* ]] ||
    fail "the offline example: C says '$(head -n1 <<<"$by_c")', Python '$(head -n1 <<<"$by_python")'"
  cmp -s "$root/tmp/c.png" "$root/tmp/py.png" || fail "the offline example's pictures differ between C and Python"

  # An exam project from the example exam file, made by omrctl, read by omr.Exam.
  in_root omrctl exam new /tmp/exam60.omrexam --exam $examples/exam60.exam.json --by test >/dev/null ||
    fail "omrctl exam new with the example exam file"
  local students roster
  students=$(tail -n +2 "$root$examples/exam60.students.csv" | grep -c .)
  roster=$(in_root python3 -c 'import omr; e = omr.Exam("/tmp/exam60.omrexam"); print(len(e.roster)); e.close()') ||
    fail "omr.Exam does not open the project"
  [[ $roster == "$students" ]] || fail "omr.Exam's roster has $roster students, the example roster $students"

  # Removing everything leaves nothing behind.
  apt_in_root purge omr-tools libomr-dev libomr-offline-dev python3-omr libomr-offline1 libomr1
  local deb path
  for deb in "$debs"/*.deb; do
    while read -r path; do
      path=${path%% -> *}
      if [[ (-e $root/$path || -L $root/$path) && ! -d $root/$path ]]; then fail "/$path left after purge"; fi
    done < <(contents "$deb")
  done
  [[ ! -e $root/usr/lib/python3/dist-packages/omr ]] || fail "the omr module's folder was left after purge"
  echo "throwaway root: installed, used and removed cleanly"
}

root_test() {
  [[ $(id -u) == 0 ]] || skip "the throwaway root needs root (mount, chroot)"
  for tool in unshare chroot dpkg-scanpackages apt-get; do command -v "$tool" >/dev/null || skip "$tool is missing"; done
  unshare --mount true 2>/dev/null || skip "no mount namespace may be made here"
  [[ -f $(deb_of omr-tools) ]] || fail "no packages in $debs"
  unshare --mount --propagation private -- "$0" root-inside "$build" "$source" "$debs"
}

case $mode in
  build) build_and_check ;;
  lint) lint ;;
  root) root_test ;;
  root-inside) root_inside ;;
  *) echo "usage: $0 build|lint|root BUILD_DIR SOURCE_DIR DEBS_DIR" >&2; exit 2 ;;
esac
