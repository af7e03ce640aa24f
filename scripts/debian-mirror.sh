#!/usr/bin/env bash
# Prints the Debian mirror to fetch from, for the scripts that fetch from
# Debian themselves (mipsel-packages.sh, fresh-debian.sh): KELVORN_DEBIAN_MIRROR
# when set, else the one this machine's apt uses for its own release, from
# the sources apt reads (sources.list, then sources.list.d's .list and
# .sources files, as apt-config names them). A build host behind a local
# mirror or proxy is sent nowhere else; one whose sources name no mirror
# for its release gets an error that names KELVORN_DEBIAN_MIRROR.
set -euo pipefail
if [[ -n ${KELVORN_DEBIAN_MIRROR:-} ]]; then
  echo "$KELVORN_DEBIAN_MIRROR"
  exit 0
fi
. /etc/os-release
release=${VERSION_CODENAME:?}
eval "$(apt-config shell list Dir::Etc::sourcelist/f parts Dir::Etc::sourceparts/d)"
mirrors=$(for file in "$list" "${parts%/}"/*.list "${parts%/}"/*.sources; do
  [[ -r $file ]] || continue
  if [[ $file == *.sources ]]; then
    # deb822: stanzas of "Field: value" lines, apart by blank lines.
    awk -v want="$release" 'BEGIN { RS = ""; FS = "\n" } {
      delete f
      for (i = 1; i <= NF; i++) {
        if ($i ~ /^#/ || index($i, ":") == 0) continue
        key = tolower(substr($i, 1, index($i, ":") - 1))
        f[key] = " " substr($i, index($i, ":") + 1) " "
      }
      if (f["enabled"] ~ / [Nn]o / || f["types"] !~ / deb / || f["suites"] !~ " " want " ") next
      split(f["uris"], uris, " "); print uris[1]; exit
    }' "$file"
  else
    awk -v want="$release" '$1 == "deb" { sub(/\[[^]]*\]/, ""); if ($3 == want) { print $2; exit } }' \
      "$file"
  fi
done)
if [[ -z $mirrors ]]; then
  echo "debian-mirror: no apt source of this machine names a Debian mirror for $release;" \
    "set KELVORN_DEBIAN_MIRROR" >&2
  exit 1
fi
echo "${mirrors%%$'\n'*}"
