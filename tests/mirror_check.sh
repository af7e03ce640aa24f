#!/usr/bin/env bash
# scripts/debian-mirror.sh against apt sources of our own (APT_CONFIG):
# the mirror of this machine's release, in either format, and never a
# disabled source, another release's or a source package's.
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
deb [arch=amd64 signed-by=/k] http://lan/debian $r main\n||http://lan/debian
deb http://bp/debian $r-backports main\ndeb-src http://src/debian $r main\n|Types: deb\nURIs: http://sec/debian-security\nSuites: $r-security\n\n# ours\nTypes: deb-src deb\nURIs: http://proxy:3142/debian http://b/debian\nSuites: $r $r-updates\n|http://proxy:3142/debian
|Enabled: no\nTypes: deb\nURIs: http://off/debian\nSuites: $r\n|-
EOF_ROWS
KELVORN_DEBIAN_MIRROR=http://set/debian "$1/scripts/debian-mirror.sh" | grep -qx http://set/debian ||
  { echo "FAILED: KELVORN_DEBIAN_MIRROR not taken"; status=1; }
[[ $status -ne 0 ]] || echo "passed: the machine's own mirror, or KELVORN_DEBIAN_MIRROR"
exit $status
