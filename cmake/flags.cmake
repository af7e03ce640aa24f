# Compiler and linker flags. Three interface libraries:
#   kelvorn_flags    warnings, for everything of ours, tests included;
#   kelvorn_image    our flags for what goes into the router image (the
#                    agent and the stand-in store): C runtime only, small,
#                    hardened;
#   kelvorn_theirs   the integrator's: CMAKE_CXX_FLAGS, CMAKE_EXE_LINKER_FLAGS,
#                    CMAKE_SHARED_LINKER_FLAGS and their per-configuration
#                    forms, moved here from where CMake would put them, before
#                    ours.
# On every compile and link line of the image ours come first and theirs
# last, so that where two words disagree the compiler's and the linker's own
# rule decides, in any spelling they take: the last word wins. Their flags
# are never read. Where a choice of ours depends on them, the compiler is
# asked; every such question is asked again at each configure.
include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)

string(TOUPPER "${CMAKE_BUILD_TYPE}" config)
set(their_compile "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${config}}")
set(their_exe_link "${CMAKE_EXE_LINKER_FLAGS} ${CMAKE_EXE_LINKER_FLAGS_${config}}")
set(their_shared_link "${CMAKE_SHARED_LINKER_FLAGS} ${CMAKE_SHARED_LINKER_FLAGS_${config}}")
# The questions' try-compiles take no build type's flags but those above.
set(CMAKE_TRY_COMPILE_CONFIGURATION KelvornProbe)

# kelvorn_ask(VARIABLE flag FLAG | source SOURCE): true when the compiler
# takes FLAG, or compiles SOURCE, with the integrator's flags. A compile
# only: a flag for the link line (LTO's) is asked again with one.
function(kelvorn_ask variable kind what)
  unset(${variable} CACHE)
  set(CMAKE_REQUIRED_QUIET ON)
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
  if(kind STREQUAL "flag")
    check_cxx_compiler_flag("${what}" ${variable})
  else()
    check_cxx_source_compiles("${what}" ${variable})
  endif()
endfunction()
# MIPS as the compiler sees it: an SDK's toolchain file may spell the
# processor "mips", "MIPS", "mipsel" or not at all.
kelvorn_ask(KELVORN_TARGET_MIPS source
            "#ifndef __mips__\n#error not MIPS\n#endif\nint main() { return 0; }")
# Flags that SDKs' older compilers may not know (GCC 4.8 knows neither):
# each goes in only where the compiler takes it.
kelvorn_ask(KELVORN_HAS_FILE_PREFIX_MAP flag -ffile-prefix-map=a=b)
kelvorn_ask(KELVORN_HAS_STACK_PROTECTOR_STRONG flag -fstack-protector-strong)
kelvorn_ask(KELVORN_HAS_LTO_AUTO flag -flto=auto)
kelvorn_ask(KELVORN_HAS_NO_FAT_LTO flag -fno-fat-lto-objects)

# The switches only ever add a protection. Off, they add nothing: what the
# compiler and linker make by default, or the integrator's own words, stand.
# On MIPS two of them do not pay (bench/footprint.sh measures both):
# - RELRO: the MIPS GOT stays writable, so RELRO covers only .init_array and
#   .fini_array, 8 bytes, and its page alignment adds 4 KiB to the file.
# - the stack protector: glibc keeps the MIPS canary in the dynamic loader,
#   which would become a third NEEDED library beside libc; uClibc-ng built
#   without SSP support has none at all.
if(KELVORN_TARGET_MIPS)
  set(on_but_mips OFF)
else()
  set(on_but_mips ON)
endif()
option(KELVORN_LTO "Link-time optimisation of what goes into the image" ON)
option(KELVORN_PIE "Position-independent executable (-fPIE -pie)" ON)
option(KELVORN_FORTIFY "_FORTIFY_SOURCE=2 (optimised builds)" ON)
option(KELVORN_BIND_NOW "Resolve all symbols at start (-z now)" ON)
option(KELVORN_RELRO "Read-only relocations (-z relro)" ${on_but_mips})
option(KELVORN_STACK_PROTECTOR "-fstack-protector-strong" ${on_but_mips})

# A development build for finding memory errors and undefined behaviour: the
# whole suite, end-to-end runs included, then runs under the sanitizers.
option(KELVORN_SANITIZE "AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
# Every option is checked before it is used, as the Makefile checks its own.
kelvorn_check_options(REPORT_HOST TLS_CA_FILE TLS_PINNED_KEYS CURL_MAX_TIME SAFE_REPLY LTO PIE
  FORTIFY BIND_NOW RELRO STACK_PROTECTOR SANITIZE WERROR BUILD_TESTS UNIT_TESTS
  INSTALL_APMIB_STANDIN)
if(KELVORN_SANITIZE)
  # Their own instrumentation in place of what would hide or fight it.
  set(KELVORN_LTO OFF)
  set(KELVORN_FORTIFY OFF)
endif()

add_library(kelvorn_flags INTERFACE)
target_compile_options(kelvorn_flags INTERFACE
  -Wall -Wextra -Wpedantic -Wconversion -Wshadow -Wformat=2 -Wformat-security
  $<$<BOOL:${KELVORN_WERROR}>:-Werror>)
if(KELVORN_SANITIZE)
  set(sanitize -fsanitize=address,undefined -fno-sanitize-recover=all)
  target_compile_options(kelvorn_flags INTERFACE ${sanitize} -fno-omit-frame-pointer -g)
  target_link_options(kelvorn_flags INTERFACE ${sanitize})
endif()

# Ours, for the image. The router image has no libstdc++: no exceptions or
# RTTI to pull in the C++ runtime, and --as-needed drops it from NEEDED. The
# binary goes into a few MB of flash: -Os, unless their flags choose another
# -O or a build type's do. C++11, as the oldest SDK compilers take it.
set(ours_compile -Os -DNDEBUG -std=c++11 -fno-exceptions -fno-rtti -ffunction-sections
                 -fdata-sections)
set(ours_link -Os -Wl,--as-needed -Wl,--gc-sections
  # MIPS routers use 4 KiB pages; the linker's 64 KiB default pads the file.
  -Wl,-z,max-page-size=4096 -Wl,-z,common-page-size=4096
  # A build ID would hash the build tree's RUNPATH into the binary.
  -Wl,--build-id=none)
if(KELVORN_TARGET_MIPS)
  # A SysV hash table, whatever the linker's default: uClibc-ng's and musl's
  # loaders crash on a MIPS binary or library whose only one is GNU's
  # (.MIPS.xhash), which binutils 2.43 and later link by default.
  list(APPEND ours_link -Wl,--hash-style=sysv)
endif()
if(KELVORN_STACK_PROTECTOR AND KELVORN_HAS_STACK_PROTECTOR_STRONG)
  list(APPEND ours_compile -fstack-protector-strong)
elseif(KELVORN_STACK_PROTECTOR)
  list(APPEND ours_compile -fstack-protector)
endif()
if(KELVORN_BIND_NOW)
  list(APPEND ours_link -Wl,-z,now)
endif()
if(KELVORN_RELRO)
  list(APPEND ours_link -Wl,-z,relro)
endif()
# PIE by our own flags, not CMake's: its check fails, and drops them without
# a word, under a toolchain file's STATIC_LIBRARY try-compiles.
set(pie "")
if(KELVORN_PIE)
  set(pie -fPIE -pie)
endif()

# The C library, its loader, and whether optimising leaves _FORTIFY_SOURCE
# to us, from a program built with ours and theirs.
include(${CMAKE_CURRENT_LIST_DIR}/libc.cmake)
if(KELVORN_FORTIFY AND KELVORN_PROBE_FORTIFY)
  list(APPEND ours_compile -D_FORTIFY_SOURCE=2)
endif()

# Link-time optimisation by our own flags, on the objects themselves: it
# needs no archiver with the compiler's plugin.
set(lto "")
if(KELVORN_LTO)
  if(KELVORN_HAS_LTO_AUTO)
    set(lto -flto=auto)
  else()
    set(lto -flto)
  endif()
  if(KELVORN_HAS_NO_FAT_LTO)
    list(APPEND lto -fno-fat-lto-objects)
  endif()
  kelvorn_probe(lto_linked lto_log "${lto}" "${lto}" lto)
  if(NOT lto_linked)
    string(REGEX MATCH "[^\n]*(error|rror:)[^\n]*" why "${lto_log}")
    message(STATUS "kelvorn: LTO off: this compiler cannot link a program with ${lto} "
            "(${why})")
    set(lto "")
  endif()
endif()
list(APPEND ours_compile ${lto})
list(APPEND ours_link ${lto})
if(KELVORN_HAS_FILE_PREFIX_MAP)
  # No build path in the output: two builds of a commit are byte-identical.
  list(APPEND ours_compile -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=)
endif()

add_library(kelvorn_image INTERFACE)
target_link_libraries(kelvorn_image INTERFACE kelvorn_flags)
target_compile_options(kelvorn_image INTERFACE ${ours_compile})
target_link_options(kelvorn_image INTERFACE ${ours_link})
if(KELVORN_PIE)  # the agent; the stand-in store, a shared library, is PIC
  set(not_shared $<NOT:$<STREQUAL:$<TARGET_PROPERTY:TYPE>,SHARED_LIBRARY>>)
  target_compile_options(kelvorn_image INTERFACE $<${not_shared}:-fPIE>)
  target_link_options(kelvorn_image INTERFACE $<${not_shared}:-fPIE> $<${not_shared}:-pie>)
endif()

# Theirs, as single shell-quoted groups: CMake neither reorders nor merges
# the words of a group.
foreach(kind exe shared)
  add_library(kelvorn_theirs_${kind} INTERFACE)
  target_compile_options(kelvorn_theirs_${kind} INTERFACE "SHELL:${their_compile}")
  target_link_options(kelvorn_theirs_${kind} INTERFACE
                      "SHELL:${their_compile} ${their_${kind}_link}")
endforeach()
foreach(flags CXX_FLAGS EXE_LINKER_FLAGS SHARED_LINKER_FLAGS)
  set(CMAKE_${flags} "")
  set(CMAKE_${flags}_${config} "")
endforeach()

# Makes `target` part of the image: ours, then theirs.
function(kelvorn_image_target target)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    target_link_libraries(${target} PRIVATE kelvorn_image kelvorn_theirs_shared)
  else()
    target_link_libraries(${target} PRIVATE kelvorn_image kelvorn_theirs_exe)
  endif()
endfunction()
