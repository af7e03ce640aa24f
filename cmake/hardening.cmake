# The hardening flags of what goes into the image. The integrator's own flags
# decide each protection they speak of, for it or against it, the last word
# winning as it does on a command line; our KELVORN_* options decide only
# what they leave unsaid, so no flag of ours ever undoes one of theirs. A
# compiler's or linker's built-in default is not such a word: our options
# decide it (Debian's ld makes RELRO unless told, which the MIPS build
# leaves out). Prints the hardening in effect and whose word each is.

# Their words: the compiler's arguments, the flags and the linker flags,
# with -Wl,-z,relro, -z relro and -zrelro alike.
string(TOUPPER "${CMAKE_BUILD_TYPE}" config)
string(REPLACE "," " " words "${CMAKE_CXX_COMPILER_ARG1} ${CMAKE_CXX_FLAGS} "
       "${CMAKE_CXX_FLAGS_${config}} ${CMAKE_EXE_LINKER_FLAGS} ${CMAKE_EXE_LINKER_FLAGS_${config}}")
string(REGEX REPLACE "-z +" "-z" words "${words}")
separate_arguments(words UNIX_COMMAND "${words}")

# Sets `out` to ours-on, ours-off, theirs-on or theirs-off for the protection
# `name`, which `option` turns on, and adds its line to the summary. An
# optional "on" is the compiler's own word, said before any of the flags.
function(kelvorn_hardening out name option on_word off_word)
  set(word "${ARGV5}")
  set(whose "the compiler's own")
  foreach(w IN LISTS words)
    if(w MATCHES "^(${on_word})$")
      set(word on)
      set(whose "your flags")
    elseif(w MATCHES "^(${off_word})$")
      set(word off)
      set(whose "your flags")
    endif()
  endforeach()
  if(word)
    set(mode theirs-${word})
    set(says "${name} ${word} (${whose}")
    if(${option} AND word STREQUAL "off" OR NOT ${option} AND word STREQUAL "on")
      string(APPEND says ", over ${option}=${${option}}")
    endif()
    string(APPEND says ")")
  elseif(${option})
    set(mode ours-on)
    set(says "${name} on")
  else()
    set(mode ours-off)
    set(says "${name} off")
  endif()
  set(${out} ${mode} PARENT_SCOPE)
  set(summary "${summary}${says}, " PARENT_SCOPE)
endfunction()
set(summary "")

kelvorn_hardening(pie "PIE" KELVORN_PIE "-pie" "-no-pie|-fno-pie|-fno-PIE")
if(pie MATCHES "-on$")
  check_pie_supported(LANGUAGES CXX)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
elseif(pie STREQUAL "ours-off")
  # Compilers that default to PIE (Debian's) need telling; the stand-in
  # store, a shared library, stays position-independent.
  set(not_shared $<NOT:$<STREQUAL:$<TARGET_PROPERTY:TYPE>,SHARED_LIBRARY>>)
  target_compile_options(kelvorn_image INTERFACE $<${not_shared}:-fno-pie>)
  if(KELVORN_HAS_NO_PIE)  # older compilers make no PIE unless asked
    target_link_options(kelvorn_image INTERFACE
      $<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>:-no-pie>)
  endif()
endif()

# A compiler that defines _FORTIFY_SOURCE itself when optimising (as some
# distributions' do) has had its word too: a second definition would be
# "redefined". Asked without the flags, which are their own words.
function(kelvorn_probe_compiler_fortify)
  set(CMAKE_CXX_FLAGS "")
  set(CMAKE_REQUIRED_FLAGS -O2)
  check_cxx_source_compiles("#ifndef _FORTIFY_SOURCE\n#error\n#endif\nint main() { return 0; }"
                            KELVORN_COMPILER_FORTIFIES)
endfunction()
kelvorn_probe_compiler_fortify()
set(compiler_says "")
if(KELVORN_COMPILER_FORTIFIES)
  set(compiler_says on)
endif()
kelvorn_hardening(fortify "_FORTIFY_SOURCE" KELVORN_FORTIFY "-D_FORTIFY_SOURCE(=.*)?"
                  "-U_FORTIFY_SOURCE" "${compiler_says}")
if(fortify STREQUAL "ours-on")
  target_compile_options(kelvorn_image INTERFACE $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
endif()

kelvorn_hardening(bind_now "BIND_NOW" KELVORN_BIND_NOW "-znow" "-zlazy")
if(bind_now STREQUAL "ours-on")
  target_link_options(kelvorn_image INTERFACE -Wl,-z,now)
endif()

kelvorn_hardening(relro "RELRO" KELVORN_RELRO "-zrelro" "-znorelro")
if(relro STREQUAL "ours-on")
  target_link_options(kelvorn_image INTERFACE -Wl,-z,relro)
elseif(relro STREQUAL "ours-off")
  target_link_options(kelvorn_image INTERFACE -Wl,-z,norelro)
endif()

kelvorn_hardening(ssp "stack protector" KELVORN_STACK_PROTECTOR
                  "-fstack-protector(-strong|-all|-explicit)?" "-fno-stack-protector")
if(ssp MATCHES "-on$")
  # The canary comes from the C library (or its loader): one without it
  # fails here, not at the agent's link.
  function(kelvorn_probe_canary)
    set(CMAKE_REQUIRED_FLAGS -fstack-protector-all)
    set(CMAKE_TRY_COMPILE_TARGET_TYPE EXECUTABLE)
    check_cxx_source_compiles("int main(int argc, char **) { volatile char b[16]; b[0] = 'a';
                               return b[argc & 15]; }" KELVORN_LIBC_HAS_CANARY)
  endfunction()
  kelvorn_probe_canary()
  if(NOT KELVORN_LIBC_HAS_CANARY)
    if(ssp STREQUAL "ours-on")
      set(who "KELVORN_STACK_PROTECTOR=ON asks")
    else()
      set(who "Your flags ask")
    endif()
    message(FATAL_ERROR "${who} for the stack protector, but this C library (${KELVORN_LIBC}) "
            "has no stack-protector canary (__stack_chk_guard, __stack_chk_fail): a program "
            "built with it does not link. Leave it out, or build the C library with SSP "
            "support (uClibc-ng: UCLIBC_HAS_SSP).")
  endif()
endif()
if(ssp STREQUAL "ours-on" AND KELVORN_HAS_STACK_PROTECTOR_STRONG)
  target_compile_options(kelvorn_image INTERFACE -fstack-protector-strong)
elseif(ssp STREQUAL "ours-on")
  target_compile_options(kelvorn_image INTERFACE -fstack-protector)
elseif(ssp STREQUAL "ours-off")
  target_compile_options(kelvorn_image INTERFACE -fno-stack-protector)
endif()

string(REGEX REPLACE ", $" "" summary "${summary}")
message(STATUS "kelvorn: hardening: ${summary}")
