# The hardening that Debian builds its packages with, for the native optimised
# builds (Release, RelWithDebInfo, MinSizeRel), which are the ones that ship:
#   _FORTIFY_SOURCE=2          the C library's checked string and buffer functions
#                              (__memcpy_chk and the like); it needs the optimiser
#   -fstack-protector-strong   a canary in every function with an array or an address taken
#   -Wl,-z,relro -Wl,-z,now    the relocations resolved at start and made read-only (BIND_NOW)
#   PIE                        programs loaded at a random address like the libraries
# The Debug builds (the sanitizer and fuzzer presets) are left as they are: the
# sanitizers bring their own checks, and fortification needs -O. The Windows
# programs are static mingw builds without the C library's checked functions.
option(IAP_HARDENING "Build the native optimised programs with Debian's hardening flags" ON)
if(IAP_HARDENING AND NOT WIN32)
  include(CheckPIESupported)
  check_pie_supported(LANGUAGES CXX)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  set(iap_optimised "$<NOT:$<CONFIG:Debug>>")
  add_compile_options("$<${iap_optimised}:-U_FORTIFY_SOURCE>"
                      "$<${iap_optimised}:-D_FORTIFY_SOURCE=2>"
                      "$<${iap_optimised}:-fstack-protector-strong>")
  add_link_options("$<${iap_optimised}:LINKER:-z,relro>" "$<${iap_optimised}:LINKER:-z,now>")
endif()
