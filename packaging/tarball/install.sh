#!/bin/sh
# Installs this unpacked tree for the current user, in the layout the built-in updater updates:
#   PREFIX/lib/velvetharbor/versions/<version>/   this tree
#   PREFIX/lib/velvetharbor/current               link to the version in use (switched by updates)
#   PREFIX/bin/*, PREFIX/share/{icons,metainfo}/…   links through "current"
#   PREFIX/share/applications/…, PREFIX/share/dbus-1/services/…   written here, naming the program
#                                  by its absolute path, as PREFIX/bin need not be on PATH
# PREFIX is the first argument, default ~/.local. Running it again (or for a newer tree) switches
# to that tree; the version that was in use stays until the new one has started once.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
prefix=${1:-$HOME/.local}
version=$(sed -n 's/.*"CFBundleVersion": *"\([^"]*\)".*/\1/p' "$here/share/velvetharbor/Info.json")
[ -n "$version" ] || { echo "install.sh: no version in $here/share/velvetharbor/Info.json" >&2; exit 1; }
root=$prefix/lib/velvetharbor

mkdir -p "$root/versions"
rm -rf "$root/versions/.copying-$version"
cp -a "$here" "$root/versions/.copying-$version"
rm -f "$root/versions/.copying-$version/install.sh"
if [ -e "$root/versions/$version" ] && [ "$(readlink "$root/current" 2>/dev/null)" != "versions/$version" ]; then
  rm -rf "$root/versions/$version"
fi
if [ ! -e "$root/versions/$version" ]; then
  mv "$root/versions/.copying-$version" "$root/versions/$version"
else
  rm -rf "$root/versions/.copying-$version"
fi
# A new link renamed over the old one: a launch sees one version or the other, never neither.
ln -sfn "versions/$version" "$root/.current-new"
mv -T "$root/.current-new" "$root/current"

mkdir -p "$prefix/bin"
for program in "$root/current/bin/"*; do
  ln -sfn "../lib/velvetharbor/current/bin/${program##*/}" "$prefix/bin/${program##*/}"
done
for area in icons metainfo; do
  [ -d "$root/current/share/$area" ] || continue
  (cd "$root/current/share" && find "$area" -type f) | while read -r file; do
    mkdir -p "$prefix/share/${file%/*}"
    ln -sfn "$root/current/share/$file" "$prefix/share/$file"
  done
done

# The launcher entry and the D-Bus service file name the program by its absolute path: a desktop
# started by the session does not see a PATH that a shell profile extends with PREFIX/bin.
program=$(cd "$prefix/bin" && pwd)/velvetharbor
mkdir -p "$prefix/share/applications" "$prefix/share/dbus-1/services"
for entry in "$root/current/share/applications/"*.desktop; do
  [ -e "$entry" ] || continue
  target=$prefix/share/applications/${entry##*/}
  rm -f "$target"
  sed -e "s|^Exec=velvetharbor|Exec=$program|" -e "s|^TryExec=velvetharbor\$|TryExec=$program|" "$entry" >"$target"
done
for service in "$root/current/share/dbus-1/services/"*.service; do
  [ -e "$service" ] || continue
  target=$prefix/share/dbus-1/services/${service##*/}
  rm -f "$target"
  sed "s|^Exec=[^ ]*|Exec=$program|" "$service" >"$target"
done

# Desktops read these caches rather than the folders: refreshed where the tools exist.
if command -v update-desktop-database >/dev/null 2>&1; then
  update-desktop-database -q "$prefix/share/applications" || true
fi
if command -v gtk-update-icon-cache >/dev/null 2>&1 && [ -d "$prefix/share/icons/hicolor" ]; then
  gtk-update-icon-cache -q -t -f "$prefix/share/icons/hicolor" || true
fi
echo "Velvetharbor $version installed in $root; programs in $prefix/bin"
