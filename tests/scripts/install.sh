#!/usr/bin/env bash
# `cmake --install` into a temporary prefix, as a user or a packager runs it:
# the installed command runs from there with no setting, a C program builds
# against the library through pkg-config (as C99) and through find_package
# (as C23), every option of the --help texts is in the manual page, the
# README and the completion, and, where the Debian tools are there, the
# package `cpack -G DEB` makes holds the same files and works unpacked.
set -euo pipefail
build=$1
source=$2

fail() { echo "install: $*" >&2; exit 1; }
if grep -q '^GZARC_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
  echo "a sanitizer build is not installed: skipped" >&2
  exit 77
fi
command -v pkg-config >/dev/null || { echo "pkg-config is not installed: skipped" >&2; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/staged" >/dev/null
# Moved after the install: nothing may depend on the prefix it was installed to.
mv "$work/staged" "$work/prefix"
prefix=$work/prefix
pc=$(find "$prefix" -name gzarc.pc)
libdir=$(dirname "$(dirname "$pc")")
for file in bin/gzarc include/gzarc.h share/man/man1/gzarc.1.gz \
  share/bash-completion/completions/gzarc; do
  [ -e "$prefix/$file" ] || fail "$file is not installed"
done
for file in libgzarc.so libgzarc.so.0 cmake/gzarc/gzarcConfig.cmake \
  cmake/gzarc/gzarcConfigVersion.cmake; do
  [ -e "$libdir/$file" ] || fail "${libdir#"$prefix"/}/$file is not installed"
done
objdump -p "$libdir/libgzarc.so" | grep -q 'SONAME *libgzarc\.so\.0$' || fail "the SONAME is not libgzarc.so.0"

# The command finds its engine in the prefix by itself.
mkdir "$work/tmp"
(cd "$work" && env -u GZARC_ENGINE TMPDIR="$work/tmp" "$prefix/bin/gzarc" demo) >"$work/demo.out"
grep -q "^gzarc demo, engine $libdir/libgzarc.so.0\$" "$work/demo.out" || fail "$(cat "$work/demo.out")"
grep -q '^demo passed' "$work/demo.out" || fail "the installed demo failed"

# A C99 program through pkg-config, a C23 one through find_package.
version=$("$prefix/bin/gzarc" --version | sed 's/^gzarc //')
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion gzarc)" = "$version" ] || fail "gzarc.pc is not version $version"
strict=(-Wall -Wextra -Wpedantic -Wstrict-prototypes -Werror)
# shellcheck disable=SC2046
"${CC:-cc}" -std=c99 "${strict[@]}" "$source/tests/install/consumer.c" \
  $(pkg-config --cflags --libs gzarc) -Wl,-rpath,"$libdir" -o "$work/c99"
"$work/c99"
cmake -S "$source/tests/install" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer"

# The manual page is clean roff, and every option the --help texts name is
# in it, in the README and in the completion for that command.
manual=$(gzip -dc "$prefix/share/man/man1/gzarc.1.gz")
if command -v groff >/dev/null; then
  warnings=$(echo "$manual" | groff -man -ww -z -Tutf8 2>&1)
  [ -z "$warnings" ] || fail "the manual page: $warnings"
fi
manual=${manual//\\-/-}
# shellcheck disable=SC1091
source "$prefix/share/bash-completion/completions/gzarc"
options() { grep -oE '(^|[ [,])(-[a-zA-Z]|--[a-z][a-z-]+)\b' | tr -d ' [,' | sort -u; }
for command in "" list extract create delete demo; do
  help=$("$prefix/bin/gzarc" $command --help)
  for option in $(options <<<"$help"); do
    grep -qF -- "$option" <<<"$manual" || fail "the manual page lacks $option"
    grep -qF -- "$option" "$source/README.md" || fail "README.md lacks $option"
  done
  # Without a command, the completion offers the options before one.
  [ -n "$command" ] || help=$(sed -n '/^Options:/,/^Exit codes/p' <<<"$help")
  COMP_WORDS=(gzarc $command -) COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  _gzarc
  for option in $(options <<<"$help"); do
    [[ " ${COMPREPLY[*]} " == *" $option "* ]] ||
      fail "the completion of 'gzarc $command -' lacks $option"
  done
done

# The Debian package holds what the install holds, and works unpacked.
if command -v dpkg-deb >/dev/null && command -v dpkg-shlibdeps >/dev/null; then
  (cd "$build" && cpack -G DEB -B "$work/deb") >"$work/cpack.log" 2>&1 || fail "$(cat "$work/cpack.log")"
  deb=$(ls "$work"/deb/gzarc_*.deb)
  [ "$(dpkg-deb -f "$deb" Package)" = gzarc ] || fail "the package is not named gzarc"
  dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "no dependencies found: $(dpkg-deb -f "$deb" Depends)"
  dpkg-deb -x "$deb" "$work/root"
  (cd "$prefix" && find . ! -type d) | while read -r file; do
    [ -e "$work/root/usr/$file" ] || [ -L "$work/root/usr/$file" ] || fail "the package lacks /usr/${file#./}"
  done
  TMPDIR=$work/tmp "$work/root/usr/bin/gzarc" -q demo || fail "the packaged demo failed"
else
  echo "install: no dpkg-deb and dpkg-shlibdeps: the Debian package is not checked"
fi
echo "install: the install, both consumers and the package work"
