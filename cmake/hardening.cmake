# The hardening a distribution gives the programs it builds, for the
# optimised builds on systems other than Windows: checked string and memory
# calls (_FORTIFY_SOURCE), stack canaries in every function with an array or
# an address taken, and a relocation table made read-only after loading with
# every symbol bound at start (relro, now). The .comment section goes at
# install time (packaging.cmake), as Debian's dh_strip removes it.
#
# VARNO_HARDEN OFF leaves it out: the sanitizer builds replace the C library's
# checked calls with their own.
option(VARNO_HARDEN "Harden the optimised builds (fortify, stack protector, relro, now)" ON)
if(WIN32 OR NOT VARNO_HARDEN)
  return()
endif()

set(optimised $<CONFIG:Release,RelWithDebInfo,MinSizeRel>)
# -U first: a compiler that defines its own level would otherwise warn of the
# redefinition, which -Werror turns into a failure.
add_compile_options(
  $<$<AND:$<COMPILE_LANGUAGE:CXX>,${optimised}>:-U_FORTIFY_SOURCE>
  $<$<AND:$<COMPILE_LANGUAGE:CXX>,${optimised}>:-D_FORTIFY_SOURCE=2>
  $<$<AND:$<COMPILE_LANGUAGE:CXX>,${optimised}>:-fstack-protector-strong>)
add_link_options($<${optimised}:LINKER:-z,relro,-z,now>)
