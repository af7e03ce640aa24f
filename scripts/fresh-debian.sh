#!/usr/bin/env bash
# Checks a commit as a newcomer meets it: makes a fresh Debian root with
# mmdebstrap (minbase, git and ca-certificates, and no /etc/hosts), clones
# this repository's HEAD into it and runs the README's two commands there,
# cold, as root, timing each. Not a gate: it takes half an hour or so.
#
#   scripts/fresh-debian.sh 12|13 [FOLDER]
#
# Needs root, mmdebstrap and the Debian mirror this machine's apt uses (or
# KELVORN_DEBIAN_MIRROR: scripts/debian-mirror.sh). The root stays in FOLDER (default
# /var/tmp/kelvorn-debian-N) for a look afterwards; each run starts afresh.
set -euo pipefail
case "${1:-}" in
  12) suite=bookworm ;;
  13) suite=trixie ;;
  *) echo "usage: $0 12|13 [FOLDER]" >&2; exit 2 ;;
esac
root=${2:-/var/tmp/kelvorn-debian-$1}
top=$(cd "$(dirname "$0")/.." && pwd)
[[ $(id -u) -eq 0 ]] || { echo "fresh-debian: run as root" >&2; exit 1; }
command -v mmdebstrap >/dev/null || { echo "fresh-debian: apt-get install mmdebstrap" >&2; exit 1; }

rm -rf "$root"
mirror=$("$top/scripts/debian-mirror.sh")
mmdebstrap --quiet --variant=minbase --include=git,ca-certificates "$suite" "$root" "$mirror"
rm -f "$root/etc/hosts"
cp /etc/resolv.conf "$root/etc/resolv.conf" # apt's name server, not the tests'
git clone --quiet "$top" "$root/root/kelvorn"

# The root's own /proc, and the machine's /sys and /dev (the board's tap
# device), in a mount namespace of its own: nothing stays mounted after. The
# root is a mount point of its own, as a machine's is: the tests' sandboxes
# make their mounts private from it.
unshare --mount --fork bash -euo pipefail -c '
  root=$1
  mount --bind "$root" "$root"
  mount -t proc proc "$root/proc"
  mount --rbind /sys "$root/sys"
  mount --rbind /dev "$root/dev"
  mount -t tmpfs tmpfs "$root/tmp"
  chroot "$root" env -i HOME=/root TERM=dumb PATH=/usr/sbin:/usr/bin:/sbin:/bin bash -c "
    cd /root/kelvorn
    . /etc/os-release; echo \"== \$PRETTY_NAME, \$(git log --oneline -1)\"
    start=\$SECONDS; scripts/demo.sh </dev/null; echo \"== demo: exit \$?, \$((SECONDS - start)) s\"
    start=\$SECONDS; scripts/test.sh </dev/null; echo \"== test: exit \$?, \$((SECONDS - start)) s\"
  "' sh "$root"
