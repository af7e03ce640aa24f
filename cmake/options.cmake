# Configure-time checks of the values compiled into the report command. The
# line goes to the shell unquoted, so each value may hold only characters
# that the shell reads as part of one plain word. Each function leaves an
# error text in `out_error`, empty when the value is good.

# A plain DNS name: letters, digits and hyphens in labels of 1 to 63
# characters, joined by dots, 253 characters at most.
function(kelvorn_check_report_host host out_error)
  set(error "")
  string(LENGTH "${host}" length)
  if(length EQUAL 0)
    set(error "is empty")
  elseif(length GREATER 253)
    set(error "is ${length} characters long; a DNS name has at most 253")
  elseif(NOT host MATCHES "^[A-Za-z0-9.-]+$")
    set(error "may hold only letters, digits, hyphens and dots")
  else()
    string(REPLACE "." ";" labels "${host}.")
    list(POP_BACK labels)  # the empty entry after the final dot we added
    foreach(label IN LISTS labels)
      string(LENGTH "${label}" label_length)
      if(label_length EQUAL 0)
        set(error "has an empty label (leading, trailing or doubled dot)")
      elseif(label_length GREATER 63)
        set(error "has a label longer than 63 characters")
      elseif(label MATCHES "^-" OR label MATCHES "-$")
        set(error "has a label that begins or ends with a hyphen")
      endif()
      if(error)
        break()
      endif()
    endforeach()
  endif()
  set(${out_error} "${error}" PARENT_SCOPE)
endfunction()

# Empty (certificate not verified), or an absolute path on the router made of
# letters, digits and / . _ - only, with no "..", 200 characters at most.
function(kelvorn_check_tls_ca_file path out_error)
  set(error "")
  string(LENGTH "${path}" length)
  if(length EQUAL 0)
  elseif(length GREATER 200)
    set(error "is longer than 200 characters")
  elseif(NOT path MATCHES "^/[A-Za-z0-9/._-]+$")
    set(error "must be an absolute path of letters, digits and / . _ - only")
  elseif(path MATCHES "(^|/)\\.\\.(/|$)" OR path MATCHES "/$")
    set(error "must name a file, with no '..'")
  endif()
  set(${out_error} "${error}" PARENT_SCOPE)
endfunction()

# Empty (no limit), or whole seconds from 1 to 86400 without leading zeros.
function(kelvorn_check_curl_max_time seconds out_error)
  set(error "")
  if(seconds STREQUAL "")
  elseif(NOT seconds MATCHES "^[1-9][0-9]?[0-9]?[0-9]?[0-9]?$" OR seconds GREATER 86400)
    set(error "must be whole seconds from 1 to 86400")
  endif()
  set(${out_error} "${error}" PARENT_SCOPE)
endfunction()

# Empty (no pinning), or a list of one or more public-key pins, each
# "sha256//" and the 44-character base64 form of a SHA-256 digest (32 bytes:
# 43 characters, the last of them carrying 2 bits and four zero bits, then
# one "="). curl takes them joined by ";", quoted as one shell word: the
# check leaves no character that could end the quote.
function(kelvorn_check_tls_pinned_keys pins out_error)
  set(error "")
  string(REPEAT "[A-Za-z0-9+/]" 42 digest)
  set(pin_pattern "^sha256//${digest}[AEIMQUYcgkosw048]=$")
  foreach(pin IN LISTS pins)
    if(pin STREQUAL "")
      set(error "has an empty entry")
      break()
    elseif(NOT pin MATCHES "${pin_pattern}")
      string(CONCAT error "has the entry '${pin}', which is not a pin: a pin is "
             "sha256// and the 44-character base64 SHA-256 of the public key, ending in =")
      break()
    endif()
  endforeach()
  set(${out_error} "${error}" PARENT_SCOPE)
endfunction()
