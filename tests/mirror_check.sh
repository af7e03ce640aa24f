#!/usr/bin/env bash
# scripts/debian-mirror.sh against apt sources of our own (APT_CONFIG),
# whose mirrors are local folders: the mirror of this machine's release, in
# either format, and never a disabled source, another release's or a source
# package's.
#   mirror_check.sh SOURCE_DIR
set -uo pipefail
. /etc/os-release
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'Dir::Etc::sourcelist "%s/list";\nDir::Etc::sourceparts "%s";\n' "$work" "$work" >"$work/conf"
r=$VERSION_CODENAME status=0
# sources.list | a .sources file | the mirror printed ("-": none, an error)
while IFS='|' read -r list sources want; do
  printf '%b' "$list" >"$work/list"
  printf '%b' "$sources" >"$work/a.sources"
  got=$(APT_CONFIG=$work/conf KELVORN_DEBIAN_MIRROR= "$1/scripts/debian-mirror.sh" 2>/dev/null) || got=-
  [[ $got == "$want" ]] || { echo "FAILED: $list|$sources: got '$got', want '$want'"; status=1; }
done <<EOF_ROWS
deb [arch=amd64 signed-by=/k] file:/srv/lan $r main\n||file:/srv/lan
deb file:/srv/backports $r-backports main\ndeb-src file:/srv/src $r main\n|Types: deb\nURIs: file:/srv/security\nSuites: $r-security\n\n# ours\nTypes: deb-src deb\nURIs: file:/srv/proxied file:/srv/second\nSuites: $r $r-updates\n|file:/srv/proxied
|Enabled: no\nTypes: deb\nURIs: file:/srv/off\nSuites: $r\n|-
EOF_ROWS
KELVORN_DEBIAN_MIRROR=file:/srv/set "$1/scripts/debian-mirror.sh" | grep -qx file:/srv/set ||
  { echo "FAILED: KELVORN_DEBIAN_MIRROR not taken"; status=1; }
[[ $status -ne 0 ]] || echo "passed: the machine's own mirror, or KELVORN_DEBIAN_MIRROR"
exit $status
