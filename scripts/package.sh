#!/usr/bin/env bash
# Builds the Debian package of the assistant into build/package/orvik_VERSION_ARCH.deb: a release
# build (never the sanitized test build) of the programs alone, installed into a staging root, with
# the dependencies read from the binaries by dpkg-shlibdeps. Prints the package's path.
set -euo pipefail
cd "$(dirname "$0")/.."

tree=build/release
out=build/package
stage=$out/root
# The programs, their modules, and what the install steps run.
targets=(OrvikDesk orvikctl orvikmenu OrvikP11 OrvikWab OrvikFetch Handover orvik_manpages orvik_system_menus)

cmake --preset default -DCMAKE_INSTALL_PREFIX=/usr -DORVIK_INSTALL_DIR=lib/orvik >/dev/null
cmake --build "$tree" --target "${targets[@]}"

version=$(sed -n 's/^project(Orvik VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
rm -rf "$stage"
mkdir -p "$stage"
DESTDIR="$PWD/$stage" cmake --install "$tree" --strip >/dev/null

# Debian's layout: compressed man pages and changelog, a copyright file, maintainer scripts.
gzip -9n "$stage"/usr/share/man/man1/*.1
doc=$stage/usr/share/doc/orvik
install -d "$doc"
install -m 644 packaging/debian/copyright "$doc/copyright"
gzip -9nc packaging/debian/changelog >"$doc/changelog.Debian.gz"
install -d "$stage/DEBIAN"
install -m 755 packaging/debian/prerm packaging/debian/postrm "$stage/DEBIAN/"
# Files go in as root's, readable by all; only programs and libraries are executable.
find "$stage" -type d -exec chmod 755 {} +
find "$stage" -type f ! -path "$stage/DEBIAN/*" -exec chmod 644 {} +
elves=()
while IFS= read -r -d '' f; do
  if [ "$(head -c 4 "$f" | od -An -c | tr -d ' ')" = "177ELF" ]; then
    elves+=("$f")
    case "$f" in *.so) ;; *) chmod 755 "$f" ;; esac
  fi
done < <(find "$stage/usr/lib/orvik" -type f -print0)

# dpkg-shlibdeps reads the package's name from a control file; the libraries of the program folder
# are found through their $ORIGIN run path and belong to this package.
shlibs=$(mktemp -d)
trap 'rm -rf "$shlibs"' EXIT
mkdir -p "$shlibs/debian"
printf 'Source: orvik\n\nPackage: orvik\nArchitecture: any\n' >"$shlibs/debian/control"
depends=$(cd "$shlibs" && dpkg-shlibdeps -O -l"$OLDPWD/$stage/usr/lib/orvik" \
  "${elves[@]/#/$OLDPWD/}" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "package: dpkg-shlibdeps found no dependencies" >&2; exit 1; }

(cd "$stage" && find usr -type f -exec md5sum {} + | sort -k2) >"$stage/DEBIAN/md5sums"
size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" -e "s/@DEPENDS@/$depends/" \
  packaging/debian/control.in >"$stage/DEBIAN/control"

deb=$out/orvik_${version}_${arch}.deb
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
echo "$deb"
