#!/bin/sh
# The values compiled into the report's command line, checked for both
# builds (CMake and the Makefile) before any of them is. The line goes to the
# shell unquoted, so each value may hold only characters that the shell
# reads as part of one plain word.
#
#   report-options.sh NAME=VALUE...            checks each
#   report-options.sh --header NAME=VALUE...   checks them, then prints them
#                                              as C definitions
#
# NAME is KELVORN_REPORT_HOST, KELVORN_TLS_CA_FILE, KELVORN_TLS_PINNED_KEYS
# (pins joined by ";"), KELVORN_CURL_MAX_TIME or KELVORN_SAFE_REPLY (ON or
# OFF, as CMake spells a switch). The first bad value is named on standard
# error, with why, and the exit status is 1.
export LC_ALL=C # letters are A-Z and a-z, whatever the caller's locale

refuse() {
  printf "%s '%s' %s.\n" "$name" "$value" "$1" >&2
  exit 1
}

# A plain DNS name: letters, digits and hyphens in labels of 1 to 63
# characters, joined by dots, 253 characters at most.
check_host() {
  [ -n "$value" ] || refuse "is empty"
  [ ${#value} -le 253 ] || refuse "is ${#value} characters long; a DNS name has at most 253"
  case $value in *[!A-Za-z0-9.-]*) refuse "may hold only letters, digits, hyphens and dots" ;; esac
  rest=$value.
  while [ -n "$rest" ]; do
    label=${rest%%.*} rest=${rest#*.}
    [ -n "$label" ] || refuse "has an empty label (leading, trailing or doubled dot)"
    [ ${#label} -le 63 ] || refuse "has a label longer than 63 characters"
    case $label in -* | *-) refuse "has a label that begins or ends with a hyphen" ;; esac
  done
}

# Empty (certificate not verified), or an absolute path on the router made of
# letters, digits and / . _ - only, with no "..", 200 characters at most.
check_ca_file() {
  [ -n "$value" ] || return 0
  [ ${#value} -le 200 ] || refuse "is longer than 200 characters"
  case $value in / | [!/]* | *[!A-Za-z0-9/._-]*)
    refuse "must be an absolute path of letters, digits and / . _ - only" ;;
  esac
  case $value/ in */../* | *//) refuse "must name a file, with no '..'" ;; esac
}

# Empty (no pinning), or one or more public-key pins joined by ";", each
# "sha256//" and the 44-character base64 form of a SHA-256 digest (32 bytes:
# 43 characters, the last of them carrying 2 bits and four zero bits, then
# one "="). curl takes them quoted as one shell word: no character that could
# end the quote gets through.
check_pinned_keys() {
  [ -n "$value" ] || return 0
  case ";$value;" in *";;"*) refuse "has an empty entry" ;; esac
  digest= i=0
  while [ $i -lt 42 ]; do digest="$digest[A-Za-z0-9+/]" i=$((i + 1)); done
  set -f
  IFS=';'
  for pin in $value; do
    case $pin in
    sha256//$digest[AEIMQUYcgkosw048]=) ;;
    *) refuse "has the entry '$pin', which is not a pin: a pin is sha256// and the 44-character base64 SHA-256 of the public key, ending in =" ;;
    esac
  done
  unset IFS
}

# Empty (no limit), or whole seconds from 1 to 86400 without leading zeros.
check_curl_max_time() {
  case $value in
  "") ;;
  0* | *[!0-9]* | ??????*) refuse "must be whole seconds from 1 to 86400" ;;
  *) [ "$value" -le 86400 ] || refuse "must be whole seconds from 1 to 86400" ;;
  esac
}

check_safe_reply() {
  case $value in
  "" | [Oo][Ff][Ff] | 0 | [Nn][Oo] | [Ff][Aa][Ll][Ss][Ee]) value= ;;
  [Oo][Nn] | 1 | [Yy][Ee][Ss] | [Tt][Rr][Uu][Ee]) value=ON ;;
  *) refuse "must be ON or OFF" ;;
  esac
}

header=
[ "${1:-}" = --header ] && header=1 && shift
for option in "$@"; do
  name=${option%%=*} value=${option#*=}
  case $name in
  KELVORN_REPORT_HOST) check_host ;;
  KELVORN_TLS_CA_FILE) check_ca_file ;;
  KELVORN_TLS_PINNED_KEYS) check_pinned_keys ;;
  KELVORN_CURL_MAX_TIME) check_curl_max_time ;;
  KELVORN_SAFE_REPLY) check_safe_reply ;;
  *) echo "report-options.sh: no option $name" >&2 && exit 2 ;;
  esac
  [ -z "$header" ] || [ -z "$value" ] && continue
  if [ "$name" = KELVORN_SAFE_REPLY ]; then
    echo "#define $name"
  else
    echo "#define $name \"$value\""
  fi
done
