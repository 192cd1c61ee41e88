# The sample environment: a few store files made by varno-storegen in
# build/sample/, an environment directory for them (build/sample/home/), and
# build/run-sample, which starts the utility there with a short guide.
set(VARNO_SAMPLE_DIR ${CMAKE_BINARY_DIR}/sample)
set(VARNO_SAMPLE_HOME ${VARNO_SAMPLE_DIR}/home)

# Each entry: file name, then the storegen options that make it.
set(VARNO_SAMPLE_FILES
  "sound.store --messages 5 --forwarded 2 --capacity 16384"
  "wrapped.store --messages 8 --wrap --forwarded 3"
  "damaged.store --messages 5 --damage primary"
  "badrecord.store --messages 6 --damage record-size:4"
  "oldlayout.store --type 1 --messages 3"
  "busy.store --messages 500 --forwarded 100 --capacity 500000")

set(sample_outputs)
set(sample_commands)
foreach(entry IN LISTS VARNO_SAMPLE_FILES)
  separate_arguments(parts UNIX_COMMAND "${entry}")
  list(POP_FRONT parts name)
  list(APPEND sample_outputs ${VARNO_SAMPLE_DIR}/${name})
  # The file layer logs to the environment directory: keep that inside the
  # sample rather than in the builder's own.
  list(APPEND sample_commands
    COMMAND ${CMAKE_COMMAND} -E env VARNO_HOME=${VARNO_SAMPLE_HOME}/
            $<TARGET_FILE:varno-storegen> ${VARNO_SAMPLE_DIR}/${name} ${parts})
endforeach()

add_custom_command(
  OUTPUT ${sample_outputs}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${VARNO_SAMPLE_HOME}
  ${sample_commands}
  # The generation's own log lines are no part of the sample.
  COMMAND ${CMAKE_COMMAND} -E rm -f ${VARNO_SAMPLE_HOME}/varno_debug.log
  DEPENDS varno-storegen ${CMAKE_CURRENT_LIST_FILE}
  COMMENT "Generating the sample store files in ${VARNO_SAMPLE_DIR}"
  VERBATIM)
add_custom_target(varno_sample_env ALL DEPENDS ${sample_outputs})

configure_file(${CMAKE_CURRENT_SOURCE_DIR}/run-sample.in ${CMAKE_BINARY_DIR}/run-sample
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                   WORLD_READ WORLD_EXECUTE
  @ONLY)
