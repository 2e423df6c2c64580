#!/bin/sh
# Installs the build into a fresh prefix, moves the prefix, and checks that
# the installed programs still find libpagesifter.so through their RUNPATH
# and start.  Usage: install_check.sh BUILD_DIR
set -eu
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/first" >/dev/null
# A relative RUNPATH survives a move of the whole prefix.
mv "$work/first" "$work/moved"
prefix=$work/moved
fail=0
test -f "$prefix/lib/libpagesifter.so" || { echo "no lib/libpagesifter.so"; exit 1; }
for program in zentu zentucleaner; do
  binary=$prefix/bin/$program
  [ -x "$binary" ] || continue
  runpath=$(readelf -d "$binary" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p')
  case "$runpath" in
    *'$ORIGIN/../lib'*) ;;
    *) echo "$program: RUNPATH is '$runpath'"; fail=1 ;;
  esac
  case "$runpath" in
    *"$build"*) echo "$program: RUNPATH still names the build tree"; fail=1 ;;
  esac
  if readelf -d "$binary" | grep -q 'NEEDED.*libpagesifter'; then
    resolved=$(env -u LD_LIBRARY_PATH ldd "$binary" | sed -n 's/.*libpagesifter\.so => \([^ ]*\).*/\1/p')
    [ -n "$resolved" ] && resolved=$(realpath "$resolved")
    if [ "$resolved" != "$(realpath "$prefix/lib/libpagesifter.so")" ]; then
      echo "$program: libpagesifter.so resolves to '$resolved'"
      fail=1
    fi
  fi
done
# The installed program runs: the help text needs no display and no home.
if [ -x "$prefix/bin/zentu" ]; then
  env -u LD_LIBRARY_PATH ZENTU_HOME="$work/home" QT_QPA_PLATFORM=offscreen "$prefix/bin/zentu" --help >/dev/null 2>&1 ||
    { echo "installed zentu --help failed"; fail=1; }
fi
exit $fail
