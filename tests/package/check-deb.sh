#!/usr/bin/env bash
# Checks a built hakomi .deb: its control fields, its file list, the RUNPATH of its programs,
# the desktop entry and the metainfo, and that the lister runs from a scratch root where the
# package is unpacked, finding its private libUnZip32 there.
# Usage: tests/package/check-deb.sh PACKAGE.deb VERSION
set -euo pipefail
deb=$1
version=$2
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
fail() { echo "check-deb: $*" >&2; exit 1; }

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = hakomi ] || fail "Package is $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version is $(field Version), not $version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is $(field Architecture)"
depends=$(field Depends)
for want in 'libqt6widgets6' 'libqt6core6' 'libicu[0-9]+' 'libstdc\+\+6' 'qt6-qpa-plugins' \
            'fonts-ipafont-gothic \| fonts-japanese-gothic'; do
  grep -Eq "(^|, )$want( |,|$)" <<<"$depends" || fail "Depends lacks $want: $depends"
done

# Exactly these files, and no libUnZip32 outside the private folder.
expected=(
  ./usr/bin/hakomi ./usr/bin/hakomi-ls
  "./usr/lib/$multiarch/hakomi/libUnZip32.so"
  ./usr/share/applications/hakomi.desktop
  ./usr/share/metainfo/org.hakomi.hakomi.metainfo.xml
  ./usr/share/icons/hicolor/scalable/apps/hakomi.svg
  ./usr/share/man/man1/hakomi.1.gz ./usr/share/man/man1/hakomi-ls.1.gz
  ./usr/share/doc/hakomi/copyright
)
for size in 16 32 48 64 128 256; do
  expected+=("./usr/share/icons/hicolor/${size}x${size}/apps/hakomi.png")
done
actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
wanted=$(printf '%s\n' "${expected[@]}" | sort)
[ "$actual" = "$wanted" ] || fail "files differ from the expected list:
$(diff <(echo "$wanted") <(echo "$actual") || true)"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
for program in hakomi hakomi-ls; do
  runpath=$(readelf -d "$root/usr/bin/$program" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
  [ "$runpath" = "\$ORIGIN/../lib/$multiarch/hakomi" ] || fail "$program's RUNPATH is '$runpath'"
done
readelf -d "$root/usr/lib/$multiarch/hakomi/libUnZip32.so" | grep -Eq 'R(UN)?PATH' &&
  fail "libUnZip32.so has a RUNPATH"
# Its C functions are all it exports: its own copies of templates are never bound to a program's.
others=$(nm -D --defined-only "$root/usr/lib/$multiarch/hakomi/libUnZip32.so" | awk '$3 !~ /^UnZip/')
[ -z "$others" ] || fail "libUnZip32.so exports more than its C functions: $others"
for size in 16 32 48 64 128 256; do
  file "$root/usr/share/icons/hicolor/${size}x${size}/apps/hakomi.png" |
    grep -q "PNG image data, $size x $size," || fail "the ${size}px icon is not ${size}x${size}"
done
desktop-file-validate "$root/usr/share/applications/hakomi.desktop"
appstreamcli validate --no-net "$root/usr/share/metainfo/org.hakomi.hakomi.metainfo.xml"
for page in hakomi hakomi-ls; do
  man --warnings -l "$root/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null | grep . &&
    fail "man page $page.1 has warnings"
done

[ "$("$root/usr/bin/hakomi-ls" --version)" = "hakomi-ls $version" ] ||
  fail "hakomi-ls --version says '$("$root/usr/bin/hakomi-ls" --version)'"
# A listing needs libUnZip32: the unpacked lister must load the package's own copy.
work=$(mktemp -d)
trap 'rm -rf "$root" "$work"' EXIT
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1], "w").writestr("inside.txt", "x")' \
  "$work/a.zip"
listing=$(LD_DEBUG=libs "$root/usr/bin/hakomi-ls" "$work" 2>"$work.ld")
[ "$listing" = "$(printf '%s\n\t%s' "$work/a.zip" inside.txt)" ] || fail "listing was '$listing'"
grep -q "$root/usr/bin/../lib/$multiarch/hakomi/libUnZip32.so\|$root/usr/lib/$multiarch/hakomi/libUnZip32.so" \
  "$work.ld" || fail "libUnZip32 was not loaded from the package"
rm -f "$work.ld"
echo "check-deb: $deb is sound"
