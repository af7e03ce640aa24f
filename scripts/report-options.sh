#!/bin/sh
# The values compiled into the report's command line, and the build's
# switches, checked for both builds (CMake and the Makefile) before any of
# them is used. The line goes to the shell unquoted, so each value may hold
# only characters that the shell reads as part of one plain word.
#
#   report-options.sh NAME=VALUE...            checks each
#   report-options.sh --header NAME=VALUE...   checks them, then prints the
#                                              report's as C definitions
#   report-options.sh --value NAME=VALUE       checks it, then prints it (a
#                                              switch as ON or OFF)
#
# NAME is KELVORN_REPORT_HOST, KELVORN_TLS_CA_FILE, KELVORN_TLS_PINNED_KEYS
# (pins joined by ";"), KELVORN_CURL_MAX_TIME, or a switch: KELVORN_SAFE_REPLY,
# KELVORN_LTO and the rest of CMake's options. A switch is ON or OFF as
# CMake spells them: 1, ON, YES, TRUE or Y, and 0, OFF, NO, FALSE or N, in
# any case. The first bad value is named on standard error, with why, and
# the exit status is 1.
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

check_switch() {
  case $value in
  [Oo][Ff][Ff] | 0 | [Nn][Oo] | [Ff][Aa][Ll][Ss][Ee] | [Nn]) value=OFF ;;
  [Oo][Nn] | 1 | [Yy][Ee][Ss] | [Tt][Rr][Uu][Ee] | [Yy]) value=ON ;;
  *) refuse "must be ON or OFF (or 1, YES, TRUE, Y and 0, NO, FALSE, N)" ;;
  esac
}

mode=
case "${1:-}" in --header | --value) mode=$1 && shift ;; esac
for option in "$@"; do
  name=${option%%=*} value=${option#*=}
  case $name in
  KELVORN_REPORT_HOST) check_host ;;
  KELVORN_TLS_CA_FILE) check_ca_file ;;
  KELVORN_TLS_PINNED_KEYS) check_pinned_keys ;;
  KELVORN_CURL_MAX_TIME) check_curl_max_time ;;
  KELVORN_SAFE_REPLY | KELVORN_LTO | KELVORN_PIE | KELVORN_FORTIFY | KELVORN_BIND_NOW | \
    KELVORN_RELRO | KELVORN_STACK_PROTECTOR | KELVORN_SANITIZE | KELVORN_WERROR | \
    KELVORN_BUILD_TESTS | KELVORN_UNIT_TESTS | KELVORN_INSTALL_APMIB_STANDIN) check_switch ;;
  *) echo "report-options.sh: no option $name" >&2 && exit 2 ;;
  esac
  case $mode$name=$value in
  --value*) echo "$value" ;;
  --headerKELVORN_SAFE_REPLY=ON) echo "#define $name" ;;
  --headerKELVORN_SAFE_REPLY=* | --header*=) ;;
  --header*) echo "#define $name \"$value\"" ;;
  esac
done
