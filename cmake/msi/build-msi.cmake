# CPack's External generator runs this after staging the Windows install tree
# in CPACK_TEMPORARY_DIRECTORY: wixl (Debian's wixl) builds the MSI from
# varno.wxs.in, then msibuild (msitools) adds what wixl has no element or
# attribute for: the PATH entry and same-version upgrades.
find_program(VARNO_WIXL wixl)
find_program(VARNO_MSIBUILD msibuild)
if(NOT VARNO_WIXL OR NOT VARNO_MSIBUILD)
  message(FATAL_ERROR "The MSI needs wixl and msibuild (scripts/install-deps --with-windows)")
endif()

# One component per staged file, each keyed by its file so that wixl derives
# a stable component code from it.
file(GLOB_RECURSE staged LIST_DIRECTORIES false RELATIVE ${CPACK_TEMPORARY_DIRECTORY}
     ${CPACK_TEMPORARY_DIRECTORY}/*)
list(SORT staged)
set(COMPONENTS)
set(COMPONENT_REFS)
set(path_component)
foreach(relative IN LISTS staged)
  get_filename_component(name ${relative} NAME)
  string(MAKE_C_IDENTIFIER ${name} id)
  string(APPEND COMPONENTS
    "          <Component Id=\"${id}\" Guid=\"*\" Win64=\"yes\">\n"
    "            <File Id=\"${id}\" Name=\"${name}\" Source=\"${relative}\" KeyPath=\"yes\"/>\n"
    "          </Component>\n")
  string(APPEND COMPONENT_REFS "      <ComponentRef Id=\"${id}\"/>\n")
  if(name STREQUAL "varno-inspect.exe")
    set(path_component ${id})
  endif()
endforeach()
if(NOT path_component)
  message(FATAL_ERROR "The MSI has no varno-inspect.exe to hang the PATH entry on: ${staged}")
endif()

set(VERSION ${CPACK_PACKAGE_VERSION})
set(VENDOR ${CPACK_PACKAGE_VENDOR})
set(SUMMARY ${CPACK_PACKAGE_DESCRIPTION_SUMMARY})
set(UPGRADE_CODE ${CPACK_VARNO_MSI_UPGRADE_CODE})
set(work ${CPACK_TOPLEVEL_DIRECTORY}/msi)
file(MAKE_DIRECTORY ${work})
configure_file(${CPACK_VARNO_MSI_SOURCES}/varno.wxs.in ${work}/varno.wxs @ONLY)

# The PATH entry, as WiX writes an <Environment> element: the name "=-*PATH"
# sets the system variable at install and takes the value out again at
# uninstall; "[~];" appends to what is there. It belongs to the component of
# varno-inspect.exe, so it comes and goes with the programs.
file(WRITE ${work}/Environment.idt
  "Environment\tName\tValue\tComponent_\n"
  "s72\tl255\tL255\ts72\n"
  "Environment\tEnvironment\n"
  "Path\t=-*PATH\t[~];[INSTALLDIR]\t${path_component}\n")

# wixl's <MajorUpgrade> removes an older version. Its upgrade row is made
# inclusive of this version (512, as WiX's AllowSameVersionUpgrades would), so
# that a rebuild of one version replaces the installed build instead of
# standing beside it under a second product code.
file(WRITE ${work}/Upgrade.idt
  "UpgradeCode\tVersionMin\tVersionMax\tLanguage\tAttributes\tRemove\tActionProperty\n"
  "s38\tS20\tS20\tS255\ti4\tS255\ts72\n"
  "Upgrade\tUpgradeCode\tVersionMin\tVersionMax\tLanguage\tAttributes\n"
  "{${UPGRADE_CODE}}\t\t${VERSION}\t\t513\t\tWIX_UPGRADE_DETECTED\n"
  "{${UPGRADE_CODE}}\t${VERSION}\t\t\t2\t\tWIX_DOWNGRADE_DETECTED\n")

set(msi ${CPACK_TOPLEVEL_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.msi)
file(REMOVE ${msi})
# wixl takes the sources only relative to its working directory.
execute_process(COMMAND ${VARNO_WIXL} -a x64 -o ${msi} ${work}/varno.wxs
                WORKING_DIRECTORY ${CPACK_TEMPORARY_DIRECTORY} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "wixl failed (${result})")
endif()
# The standard places of the two environment actions in the sequence.
execute_process(COMMAND ${VARNO_MSIBUILD} ${msi} -i ${work}/Environment.idt -i ${work}/Upgrade.idt
  -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('RemoveEnvironmentStrings', 3300)"
  -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('WriteEnvironmentStrings', 5200)"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "msibuild failed (${result})")
endif()
set(CPACK_EXTERNAL_BUILT_PACKAGES ${msi})
