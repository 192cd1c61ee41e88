# Windows programs as Windows expects them: every program carries the
# application manifest (cmake/windows/varno.manifest: UTF-8 code page, long
# paths, supported systems, no elevation) and version information, every test
# program the manifest alone (tests hand the same names to the same calls),
# and the release has the programs stripped of their debug sections and
# symbols (CPack installs them stripped, as "cmake --install --strip" does),
# while the build folder keeps them whole for the debugger.
#
# Included from the top CMakeLists.txt before its folders; defines
# varno_windows_manifest(TARGET), which varno_add_tests calls, and gives the
# four programs their resources once every folder is read. Nothing happens on
# other systems.
if(NOT WIN32)
  function(varno_windows_manifest target)
  endfunction()
  return()
endif()

enable_language(RC)
set(VARNO_RC_MANIFEST ${CMAKE_CURRENT_LIST_DIR}/windows/varno.manifest)
set(VARNO_RC_PRODUCT "Var-No store file tools")
set(CPACK_STRIP_FILES ON)

# The manifest alone.
function(varno_windows_manifest target)
  set(rc ${CMAKE_BINARY_DIR}/resources/manifest.rc)
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/windows/manifest.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  set_source_files_properties(${rc} TARGET_DIRECTORY ${target}
    PROPERTIES OBJECT_DEPENDS ${VARNO_RC_MANIFEST})
endfunction()

# The manifest and version information of program TARGET, whose Details tab
# shows DESCRIPTION.
function(varno_windows_program target description)
  set(VARNO_RC_NAME ${target})
  set(VARNO_RC_DESCRIPTION ${description})
  set(rc ${CMAKE_BINARY_DIR}/resources/${target}.rc)
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/windows/program.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  set_source_files_properties(${rc} TARGET_DIRECTORY ${target}
    PROPERTIES OBJECT_DEPENDS ${VARNO_RC_MANIFEST})
endfunction()

function(varno_windows_programs)
  varno_windows_program(varno-analyze "Var-No store file utility")
  varno_windows_program(varno-inspect "Var-No store file inspection for scripts and monitoring")
  varno_windows_program(varno-storegen "Var-No store file generator and service stand-in")
  varno_windows_program(varno-reg "Var-No registry settings tool")
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL varno_windows_programs)
