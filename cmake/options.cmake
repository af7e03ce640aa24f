# Configure-time checks of the values compiled into the report command, and
# of the switches, by the script that the Makefile's build runs too: both
# refuse alike. Leaves in `out_error` why `value` is refused, or nothing
# when it is good.
set(KELVORN_REPORT_OPTIONS_CHECK ${CMAKE_CURRENT_LIST_DIR}/../scripts/report-options.sh)
function(kelvorn_check_option name value out_error)
  execute_process(COMMAND sh ${KELVORN_REPORT_OPTIONS_CHECK} "${name}=${value}"
                  ERROR_VARIABLE error ERROR_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed AND NOT error)
    set(error "${name}: ${KELVORN_REPORT_OPTIONS_CHECK} failed (${failed})")
  elseif(NOT failed)
    set(error "")
  endif()
  set(${out_error} "${error}" PARENT_SCOPE)
endfunction()

# kelvorn_check_options(NAME...): fails the configure on the first of the
# options KELVORN_NAME... that is refused.
function(kelvorn_check_options)
  foreach(option IN LISTS ARGN)
    kelvorn_check_option(KELVORN_${option} "${KELVORN_${option}}" error)
    if(error)
      message(FATAL_ERROR "${error}")
    endif()
  endforeach()
endfunction()
