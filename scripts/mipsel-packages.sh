#!/usr/bin/env bash
# Debian 12's mipsel packages that the musl build and the booted board are
# made of, fetched into kelvorn's cache through an apt configuration of our
# own: no root, no `dpkg --add-architecture`, nothing installed, and this
# machine's apt left as it is. Debian 13 has no mipsel architecture; Debian
# 12's archive still carries it in main and updates. Each set is unpacked
# into a folder of the cache (root/, with /lib merged into /usr/lib as on
# Debian), beside packages.txt: the name, version and SHA-256 of every
# package it came from, each checked by apt against Debian's signed index.
#
#   scripts/mipsel-packages.sh SET            fetches what is missing, prints the folder
#   scripts/mipsel-packages.sh SET --cached   prints the folder, or fails if not fetched
#
#   musl    musl and musl-dev: the C library of OpenWrt-style routers
#   board   the Malta kernel and its NIC's two modules, BusyBox, and curl
#           with every library its closure may need
#
# The mirror is the one this machine's apt uses (scripts/debian-mirror.sh),
# or KELVORN_DEBIAN_MIRROR.
set -euo pipefail
die() { echo "mipsel-packages: $*" >&2; exit 1; }
trap 'die "failed (line $LINENO): $BASH_COMMAND"' ERR
set=${1:-}
case "$set" in
  musl) gate=mipsel-musl ;;
  board) gate=board ;;
  *) echo "usage: $0 musl|board [--cached]" >&2; exit 2 ;;
esac
cache=${KELVORN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kelvorn}
folder=$cache/mipsel-$set
if [[ -f $folder/.complete ]]; then
  echo "$folder"
  exit 0
fi
[[ ${2:-} != --cached ]] ||
  die "Debian's mipsel packages for $set are not fetched yet: run scripts/deps.sh $gate"

keyring=/usr/share/keyrings/debian-archive-keyring.gpg
[[ -r $keyring ]] || die "cannot read $keyring, which checks Debian's archive (package debian-archive-keyring)"
for tool in apt-get apt-cache dpkg-deb sha256sum; do
  command -v "$tool" >/dev/null || die "$tool is not installed"
done

# The configuration: our own sources, lists, cache and an empty package
# status, mipsel alone; the machine's sources, preferences and lists are
# not read. As root, apt would download as its _apt user, who cannot write
# to root's cache.
apt=$cache/apt-mipsel
mkdir -p "$apt/lists/partial" "$apt/archives/partial" "$apt/none" || die "cannot make $apt"
: >"$apt/status"
mirror=$("$(dirname "$0")/debian-mirror.sh")
for suite in bookworm bookworm-updates; do
  echo "deb [arch=mipsel signed-by=$keyring] $mirror $suite main"
done >"$apt/sources.list"
opts=(-o Dir::State::Lists="$apt/lists" -o Dir::State::status="$apt/status"
  -o Dir::Cache="$apt" -o Dir::Cache::Archives="$apt/archives"
  -o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts="$apt/none"
  -o Dir::Etc::Preferences="$apt/none/preferences" -o Dir::Etc::PreferencesParts="$apt/none"
  -o APT::Architecture=mipsel -o APT::Architectures::=mipsel -o Acquire::Languages=none
  -o Debug::NoLocking=true -o APT::Sandbox::User="$(id -un)")

echo "fetching Debian 12's mipsel packages for $set into $folder" >&2
if ! out=$(apt-get "${opts[@]}" update 2>&1) || grep -qE '^(E:|Err:|W: Failed to fetch)' <<<"$out"; then
  die "apt-get update of Debian 12's mipsel lists from $mirror failed:"$'\n'"$out"
fi
case "$set" in
  musl) packages=(musl musl-dev) ;;
  board)
    # The kernel Debian currently ships for Malta, by its versioned name;
    # curl and everything it depends on, as real packages (not virtual).
    kernel=$(apt-cache "${opts[@]}" depends linux-image-4kc-malta 2>/dev/null |
      sed -n 's/.*Depends: \(linux-image-[^ ]*\).*/\1/p' | head -n1) || true
    [[ -n $kernel ]] || die "no linux-image-4kc-malta in Debian 12's mipsel lists"
    closure=$(apt-cache "${opts[@]}" depends --recurse --no-recommends --no-suggests \
      --no-conflicts --no-breaks --no-replaces --no-enhances curl 2>&1) ||
      die "apt-cache cannot resolve curl's dependencies:"$'\n'"$closure"
    packages=("$kernel" busybox-static $(grep -E '^[a-z0-9]' <<<"$closure" | sort -u)) ;;
esac

rm -rf "$folder.partial"
mkdir -p "$folder.partial/debs" "$folder.partial/root" || die "cannot make $folder.partial"
(cd "$folder.partial/debs" && apt-get "${opts[@]}" download "${packages[@]}" 2>&1) >"$folder.log" ||
  die "apt-get download failed for ${packages[*]}:"$'\n'"$(tail -n 5 "$folder.log")"
for deb in "$folder.partial/debs"/*.deb; do
  printf '%s %s %s\n' "$(dpkg-deb -f "$deb" Package)" "$(dpkg-deb -f "$deb" Version)" \
    "$(sha256sum <"$deb" | cut -d' ' -f1)" >>"$folder.partial/packages.txt"
  dpkg-deb -x "$deb" "$folder.partial/root" || die "cannot unpack $deb"
done
root=$folder.partial/root
for dir in lib bin sbin; do
  [[ -d $root/$dir && ! -L $root/$dir ]] || continue
  mkdir -p "$root/usr/$dir" && cp -a "$root/$dir/." "$root/usr/$dir/" && rm -rf "${root:?}/$dir" &&
    ln -s "usr/$dir" "$root/$dir" || die "cannot merge /$dir into /usr/$dir in $root"
done
rm -rf "$root/usr/share" "$folder.partial/debs"
if [[ $set == board ]]; then
  # Of the kernel's modules the board loads two: the PCnet NIC's driver and
  # the MII library it needs.
  find "$root/usr/lib/modules" -name '*.ko*' ! -name mii.ko ! -name pcnet32.ko -delete
  echo "$kernel" >"$folder.partial/kernel"
fi
touch "$folder.partial/.complete"
rm -rf "$folder"
mv "$folder.partial" "$folder" || die "cannot move $folder.partial into place"
rm -f "$folder.log"
echo "$folder"
