cmake_minimum_required(VERSION 3.19)
# Runs the report host check over names that must pass and names that must not.
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/report_host.cmake)

string(REPEAT "a" 63 label63)
string(REPEAT "a" 64 label64)
set(host253 "${label63}.${label63}.${label63}.${label63}")
string(SUBSTRING "${host253}" 0 253 host253)
set(good
  "inventory.kelvorn.net" "localhost" "a" "x-1.example" "123.example"
  "${label63}.net" "${host253}")
set(bad
  "" "inv entory.net" "inv|sh" "inv&" "$(id).net" "`id`.net"
  "inv/evil" "inv:8443" "user@inv" ".inv.net" "inv.net." "inv..net"
  "-inv.net" "inv-.net" "${label64}.net" "${host253}a" "inv\\.net" "inv'.net")

foreach(host IN LISTS good)
  kelvorn_check_report_host("${host}" error)
  if(error)
    message(SEND_ERROR "refused good host '${host}': ${error}")
  endif()
endforeach()
foreach(host IN LISTS bad)
  kelvorn_check_report_host("${host}" error)
  if(NOT error)
    message(SEND_ERROR "accepted bad host '${host}'")
  endif()
endforeach()
kelvorn_check_report_host("inv;reboot" error)
if(NOT error)
  message(SEND_ERROR "accepted bad host 'inv;reboot'")
endif()
