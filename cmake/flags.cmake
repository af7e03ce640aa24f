# Compiler and linker flags. Two interface libraries:
#   kelvorn_flags    warnings, for everything of ours, tests included;
#   kelvorn_image    what goes into the router image (the agent and the
#                    stand-in store): C runtime only, small, hardened.
include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)
include(CheckIPOSupported)
include(CheckLinkerFlag)
include(CheckPIESupported)

# MIPS as the compiler sees it: an SDK's toolchain file may spell the
# processor "mips", "MIPS", "mipsel" or not at all.
check_cxx_source_compiles("#ifndef __mips__\n#error not MIPS\n#endif\nint main() { return 0; }"
                          KELVORN_TARGET_MIPS)
# Flags that SDKs' older compilers may not know (GCC 4.8 knows neither):
# each goes in only where the compiler takes it.
check_cxx_compiler_flag(-ffile-prefix-map=a=b KELVORN_HAS_FILE_PREFIX_MAP)
check_cxx_compiler_flag(-fstack-protector-strong KELVORN_HAS_STACK_PROTECTOR_STRONG)
check_linker_flag(CXX -no-pie KELVORN_HAS_NO_PIE)

option(KELVORN_LTO "Link-time optimisation of what goes into the image" ON)
# Hardening, each flag on where it protects more than it costs, unless the
# integrator's own flags say otherwise (cmake/hardening.cmake). On MIPS two
# of them do not pay (bench/footprint.sh measures both):
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
option(KELVORN_PIE "Position-independent executable" ON)
option(KELVORN_FORTIFY "_FORTIFY_SOURCE=2 (optimised builds)" ON)
option(KELVORN_BIND_NOW "Resolve all symbols at start (-z now)" ON)
option(KELVORN_RELRO "Read-only relocations (-z relro)" ${on_but_mips})
option(KELVORN_STACK_PROTECTOR "-fstack-protector-strong" ${on_but_mips})

# A development build for finding memory errors and undefined behaviour: the
# whole suite, end-to-end runs included, then runs under the sanitizers.
option(KELVORN_SANITIZE "AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(KELVORN_SANITIZE)
  # Their own instrumentation in place of what would hide or fight it.
  set(KELVORN_LTO OFF)
  set(KELVORN_FORTIFY OFF)
endif()

add_library(kelvorn_flags INTERFACE)
target_compile_options(kelvorn_flags INTERFACE
  -Wall -Wextra -Wpedantic -Wconversion -Wshadow -Wformat=2 -Wformat-security
  $<$<BOOL:${KELVORN_WERROR}>:-Werror>)
if(KELVORN_HAS_FILE_PREFIX_MAP)
  # No build path in the output: two builds of a commit are byte-identical.
  target_compile_options(kelvorn_flags INTERFACE -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=)
endif()
if(KELVORN_SANITIZE)
  set(sanitize -fsanitize=address,undefined -fno-sanitize-recover=all)
  target_compile_options(kelvorn_flags INTERFACE ${sanitize} -fno-omit-frame-pointer -g)
  target_link_options(kelvorn_flags INTERFACE ${sanitize})
endif()

add_library(kelvorn_image INTERFACE)
target_link_libraries(kelvorn_image INTERFACE kelvorn_flags)
# The router image has no libstdc++: no exceptions or RTTI to pull in the C++
# runtime, and --as-needed drops it from NEEDED.
target_compile_options(kelvorn_image INTERFACE
  -fno-exceptions -fno-rtti -ffunction-sections -fdata-sections)
target_link_options(kelvorn_image INTERFACE
  -Wl,--as-needed -Wl,--gc-sections
  # MIPS routers use 4 KiB pages; the linker's 64 KiB default pads the file.
  -Wl,-z,max-page-size=4096 -Wl,-z,common-page-size=4096
  # A build ID would hash the build tree's RUNPATH into the binary.
  -Wl,--build-id=none)
if(KELVORN_TARGET_MIPS)
  # A SysV hash table, whatever the linker's default: uClibc-ng's and musl's
  # loaders crash on a MIPS binary or library whose only one is GNU's
  # (.MIPS.xhash), which binutils 2.43 and later link by default.
  target_link_options(kelvorn_image INTERFACE -Wl,--hash-style=sysv)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/hardening.cmake)

if(KELVORN_LTO)
  check_ipo_supported(RESULT KELVORN_IPO_SUPPORTED LANGUAGES CXX)
endif()
# Makes `target` part of the image: its flags, C++11 as the oldest SDK
# compilers take it (the tests are C++17), and link-time optimisation where
# it is supported.
function(kelvorn_image_target target)
  target_link_libraries(${target} PRIVATE kelvorn_image)
  set_target_properties(${target} PROPERTIES CXX_STANDARD 11)
  if(KELVORN_LTO AND KELVORN_IPO_SUPPORTED)
    set_property(TARGET ${target} PROPERTY INTERPROCEDURAL_OPTIMIZATION ON)
  endif()
endfunction()
