#!/usr/bin/env bash
# fetch-minizip.sh DEST
# Puts minizip's sources (contrib/minizip of Debian's zlib source package)
# into DEST/minizip, fetching the source package once into DEST. The deb-src
# entry is derived from the machine's own apt sources (the "deb" entries of
# the main archive), kept in a private apt state under DEST, so the system's
# apt configuration is left as it is. Safe to run again: nothing is fetched
# when DEST/minizip is already there.
set -euo pipefail
mkdir -p "$1"
dest="$(cd "$1" && pwd)"
[ -f "$dest/minizip/unzip.c" ] && exit 0
mkdir -p "$dest/apt/parts" "$dest/apt/lists/partial" "$dest/apt/archives/partial" "$dest/src"
sources="$dest/apt/sources.list"
: >"$sources"
# One-line "deb" entries and deb822 stanzas alike become deb-src lines.
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$f" ] || continue
  sed -nE 's/^[[:space:]]*deb[[:space:]]+/deb-src /p' "$f" >>"$sources"
done
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  awk '
    function flush() {
      if (types ~ /(^| )deb( |$)/ && uris != "" && suites != "")
        print "deb-src " (signed != "" ? "[signed-by=" signed "] " : "") uris "|" suites "|" comps
      types = uris = suites = comps = signed = ""
    }
    /^[[:space:]]*$/ { flush(); next }
    /^#/ { next }
    /^Types:/ { sub(/^Types:[[:space:]]*/, ""); types = $0 }
    /^URIs:/ { sub(/^URIs:[[:space:]]*/, ""); uris = $0 }
    /^Suites:/ { sub(/^Suites:[[:space:]]*/, ""); suites = $0 }
    /^Components:/ { sub(/^Components:[[:space:]]*/, ""); comps = $0 }
    /^Signed-By:/ { sub(/^Signed-By:[[:space:]]*/, ""); signed = $0 }
    END { flush() }' "$f" | while IFS='|' read -r head suites comps; do
      for s in $suites; do echo "$head $s $comps"; done
    done >>"$sources"
done
if [ ! -s "$sources" ]; then
  echo "fetch-minizip: no deb entries in the apt sources to derive a deb-src entry from" >&2
  exit 1
fi
apt_opts=(-o "Dir::Etc::SourceList=$sources" -o "Dir::Etc::SourceParts=$dest/apt/parts"
          -o "Dir::State::Lists=$dest/apt/lists" -o "Dir::Cache::Archives=$dest/apt/archives"
          -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=" -o "APT::Sandbox::User=root"
          -o "Debug::NoLocking=1")
apt-get -qq "${apt_opts[@]}" update
# The newest version first; when a mirror lacks it, the versions of each suite.
fetched=0
for version in zlib $(apt-cache "${apt_opts[@]}" showsrc zlib | sed -n 's/^Version: /zlib=/p'); do
  if (cd "$dest/src" && apt-get -qq "${apt_opts[@]}" source --download-only "$version" >/dev/null 2>&1); then
    fetched=1; break
  fi
done
if [ "$fetched" -ne 1 ]; then
  echo "fetch-minizip: could not fetch the zlib source package" >&2
  exit 1
fi
orig=$(ls "$dest"/src/zlib_*.orig.tar.* | head -1)
rm -rf "$dest/extract" && mkdir -p "$dest/extract"
tar -xf "$orig" -C "$dest/extract" --wildcards '*/contrib/minizip/*'
rm -rf "$dest/minizip"
mv "$dest"/extract/*/contrib/minizip "$dest/minizip"
rm -rf "$dest/extract"
echo "fetch-minizip: minizip sources in $dest/minizip"
