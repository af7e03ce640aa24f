# Runs the configure-time checks over values that must pass and values that
# must not, above all anything the shell would read as more than one word.
cmake_minimum_required(VERSION 3.19)
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/options.cmake)

function(expect check verdict value)
  string(TOUPPER "KELVORN_${check}" option)
  kelvorn_check_option(${option} "${value}" error)
  if(verdict STREQUAL "good" AND error)
    message(SEND_ERROR "${check}: refused good value '${value}': ${error}")
  elseif(verdict STREQUAL "bad" AND NOT error)
    message(SEND_ERROR "${check}: accepted bad value '${value}'")
  endif()
endfunction()

string(REPEAT "a" 63 label63)
string(REPEAT "a" 64 label64)
string(SUBSTRING "${label63}.${label63}.${label63}.${label63}" 0 253 host253)

foreach(host "inventory.kelvorn.net" "localhost" "a" "x-1.example" "123.example"
             "${label63}.net" "${host253}")
  expect(report_host good "${host}")
endforeach()
expect(report_host bad "inv;reboot")  # a list separator to CMake: on its own
foreach(host "" "inv entory.net" "inv|sh" "inv&" "$(id).net" "`id`.net" "inv/evil"
             "inv:8443" "user@inv" ".inv.net" "inv.net." "inv..net" "-inv.net" "inv-.net"
             "${label64}.net" "${host253}a" "inv\\.net" "inv'.net" "inv\".net" "inv\n.net")
  expect(report_host bad "${host}")
endforeach()

foreach(path "" "/etc/ssl/certs/ca-certificates.crt" "/etc/kelvorn/ca.pem" "/a")
  expect(tls_ca_file good "${path}")
endforeach()
expect(tls_ca_file bad "/etc/ca;reboot")
foreach(path "ca.pem" "etc/ca.pem" "/etc/my ca.pem" "/etc/ca.pem -k" "/etc/$(id)" "/etc/`id`"
             "/etc/ca.pem|sh" "/etc/../tmp/ca.pem" "/etc/ca/.." "/etc/ssl/" "/" "~/ca.pem"
             "/etc/ca*.pem")
  expect(tls_ca_file bad "${path}")
endforeach()

foreach(seconds "" "1" "30" "600" "86400")
  expect(curl_max_time good "${seconds}")
endforeach()
expect(curl_max_time bad "30;reboot")
foreach(seconds "0" "-1" "030" "1.5" "86401" "100000" "30s" " 30" "30 -k" "$(id)")
  expect(curl_max_time bad "${seconds}")
endforeach()

# Pins: the SHA-256 of a key is 32 bytes, 44 base64 characters with one "=".
set(key_a "sha256//6UjdOmbjXWQiSJ9fgzWHm/Qzq47nf8UWQ1iklrKaLrg=")
set(key_b "sha256///LhvX61UzTc9FE7CoXzsaZZOaIqylqxJM4m9jFNyi/A=")
string(REPEAT "+" 42 plus42)
foreach(pins "" "${key_a}" "${key_a};${key_b}" "sha256//${plus42}w=")
  expect(tls_pinned_keys good "${pins}")
endforeach()
# Each bad value is key_a with one thing changed.
foreach(change "6U" "6UjdO" "$(id)" "`id`" "'" "\"" " " "|" "-" "\n" "6Ujd\n")
  string(REPLACE "6Ujd" "${change}" pins "${key_a}")
  expect(tls_pinned_keys bad "${pins}")
endforeach()
foreach(pins "${key_a};rm -rf /" "${key_a};" ";${key_a}" "${key_a};;${key_b}" "${key_a}'"
             "'${key_a}" "${key_a} " "${key_a}|sh" "sha256//${plus42}x=" "sha256//${plus42}w"
             "sha1//6UjdOmbjXWQiSJ9fgzWHm/Qzq47nf8UWQ=" "sha256:${plus42}w=" "SHA256//${plus42}w=")
  expect(tls_pinned_keys bad "${pins}")
endforeach()

# Switches, spelled as CMake spells them, and nothing else.
foreach(value ON off 1 0 Yes no TRUE false y N)
  expect(safe_reply good "${value}")
endforeach()
foreach(value "" disabled 2 " ON" "ON;" enable)
  expect(safe_reply bad "${value}")
endforeach()
