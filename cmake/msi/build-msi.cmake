# CPack's External generator runs this after staging the Windows install tree
# in CPACK_TEMPORARY_DIRECTORY: wixl (Debian's wixl) builds the MSI from
# varno.wxs.in, then msibuild (msitools) adds what wixl has no element or
# attribute for: the PATH entry, same-version upgrades and the programs' file
# versions.
find_program(VARNO_WIXL wixl)
find_program(VARNO_MSIBUILD msibuild)
if(NOT VARNO_WIXL OR NOT VARNO_MSIBUILD)
  message(FATAL_ERROR "The MSI needs wixl and msibuild (scripts/install-deps --with-windows)")
endif()

# One component per staged file, each keyed by its file so that wixl derives
# a stable component code from it (a file at the top keeps the id made of its
# name alone); each staged folder becomes a <Directory> of its own. The sorted
# list holds each folder's files together, so the folders open and close as
# the list goes.
file(GLOB_RECURSE staged LIST_DIRECTORIES false RELATIVE ${CPACK_TEMPORARY_DIRECTORY}
     ${CPACK_TEMPORARY_DIRECTORY}/*)
list(SORT staged)
set(COMPONENTS)
set(COMPONENT_REFS)
set(path_component)
set(programs)
set(open "")  # the folder whose <Directory> is open; "" for the top
set(indent "          ")
foreach(relative IN LISTS staged)
  get_filename_component(name ${relative} NAME)
  get_filename_component(folder ${relative} DIRECTORY)
  # Close the open folders that do not hold this file.
  string(FIND "${folder}/" "${open}/" at)
  while(NOT open STREQUAL "" AND NOT at EQUAL 0)
    string(SUBSTRING "${indent}" 2 -1 indent)
    string(APPEND COMPONENTS "${indent}</Directory>\n")
    get_filename_component(open "${open}" DIRECTORY)
    string(FIND "${folder}/" "${open}/" at)
  endwhile()
  # Open the folders from there down to this file's.
  if(NOT folder STREQUAL open)
    if(open STREQUAL "")
      set(rest ${folder})
    else()
      string(LENGTH "${open}/" skip)
      string(SUBSTRING "${folder}" ${skip} -1 rest)
    endif()
    string(REPLACE "/" ";" parts "${rest}")
    foreach(part IN LISTS parts)
      if(open STREQUAL "")
        set(open ${part})
      else()
        set(open "${open}/${part}")
      endif()
      string(MAKE_C_IDENTIFIER "dir_${open}" dir_id)
      string(APPEND COMPONENTS "${indent}<Directory Id=\"${dir_id}\" Name=\"${part}\">\n")
      string(APPEND indent "  ")
    endforeach()
  endif()
  string(MAKE_C_IDENTIFIER ${relative} id)
  string(APPEND COMPONENTS
    "${indent}<Component Id=\"${id}\" Guid=\"*\" Win64=\"yes\">\n"
    "${indent}  <File Id=\"${id}\" Name=\"${name}\" Source=\"${relative}\" KeyPath=\"yes\"/>\n"
    "${indent}</Component>\n")
  string(APPEND COMPONENT_REFS "      <ComponentRef Id=\"${id}\"/>\n")
  if(name MATCHES "\\.exe$")
    list(APPEND programs ${id})
  endif()
  if(name STREQUAL "varno-inspect.exe")
    set(path_component ${id})
  endif()
endforeach()
while(NOT open STREQUAL "")
  string(SUBSTRING "${indent}" 2 -1 indent)
  string(APPEND COMPONENTS "${indent}</Directory>\n")
  get_filename_component(open "${open}" DIRECTORY)
endwhile()
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
# The programs' file versions, as their version resources give them (wixl
# leaves the column empty): the installer compares them when it replaces a
# file, and inventory tools read them.
if(NOT CPACK_VARNO_FILE_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "No file version of four numbers for the programs: '${CPACK_VARNO_FILE_VERSION}'")
endif()
set(versions)
foreach(id IN LISTS programs)
  list(APPEND versions -q "UPDATE `File` SET `Version` = '${CPACK_VARNO_FILE_VERSION}', `Language` = '1033' WHERE `File` = '${id}'")
endforeach()
# The standard places of the two environment actions in the sequence.
execute_process(COMMAND ${VARNO_MSIBUILD} ${msi} -i ${work}/Environment.idt -i ${work}/Upgrade.idt
  -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('RemoveEnvironmentStrings', 3300)"
  -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('WriteEnvironmentStrings', 5200)"
  ${versions}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "msibuild failed (${result})")
endif()
set(CPACK_EXTERNAL_BUILT_PACKAGES ${msi})
