# cmake -P script: assembles the conformance kit in KIT_DIR from the Windows build's programs
# (WINDOWS_BIN) and installers packed here by stubpack (STUBPACK), then zips it with CPack
# (CPACK_CONFIG). Run by the host build's conformance-kit target; does nothing when the zip is
# newer than every input.
foreach(variable STUBPACK WINDOWS_BIN SOURCE_DIR KIT_DIR CPACK_CONFIG ZIP SEVEN_ZIP CPACK)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "assemble_kit.cmake: ${variable} is not set")
  endif()
endforeach()

set(programs stub.exe conformance.exe setup-double.exe setup-double-admin.exe)
set(inputs ${STUBPACK})
foreach(program IN LISTS programs)
  if(NOT EXISTS ${WINDOWS_BIN}/${program})
    # The host build stays usable without the windows preset; the kit's test says what is missing.
    message(WARNING "${WINDOWS_BIN}/${program} is missing: no conformance kit (build the windows "
                    "preset first)")
    return()
  endif()
  list(APPEND inputs ${WINDOWS_BIN}/${program})
endforeach()
set(sources run.cmd README.txt assemble_kit.cmake)
foreach(source IN LISTS sources)
  list(APPEND inputs ${SOURCE_DIR}/tests/conformance/${source})
endforeach()
set(stale FALSE)
foreach(input IN LISTS inputs)
  if(NOT EXISTS ${ZIP} OR ${input} IS_NEWER_THAN ${ZIP})
    set(stale TRUE)
  endif()
endforeach()
if(NOT stale)
  return()
endif()

file(REMOVE_RECURSE ${KIT_DIR})
file(MAKE_DIRECTORY ${KIT_DIR}/installers)
foreach(program IN LISTS programs)
  file(COPY ${WINDOWS_BIN}/${program} DESTINATION ${KIT_DIR})
endforeach()
file(COPY ${SOURCE_DIR}/tests/conformance/run.cmd ${SOURCE_DIR}/tests/conformance/README.txt
     DESTINATION ${KIT_DIR})

# The archive setup must find in the stub's resources; the setup double reads it, nothing
# unpacks it.
set(archive ${KIT_DIR}/installers/archive.7z)
execute_process(COMMAND ${SEVEN_ZIP} a -bd -bso0 ${archive} ${KIT_DIR}/README.txt
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${SEVEN_ZIP} could not make ${archive}")
endif()

function(pack name)
  execute_process(
    COMMAND ${STUBPACK} --stub ${KIT_DIR}/stub.exe --output ${KIT_DIR}/installers/${name}
            ${ARGN}
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "stubpack could not pack installers/${name} (status ${status}): ${output}")
  endif()
endfunction()
set(setup ${KIT_DIR}/setup-double.exe)
pack(cabinet.exe --archive ${archive} --setup ${setup})
pack(plain.exe --archive ${archive} --setup ${setup} --setup-storage plain)
# Layouts the stub rejects or cannot run, written through the raw entries.
pack(no-archive.exe --resource BN SETUP.EXE ${setup} --unchecked)
pack(not-a-program.exe --archive ${archive} --resource BN SETUP.EXE ${KIT_DIR}/README.txt
     --unchecked)
pack(admin-setup.exe --archive ${archive} --setup ${KIT_DIR}/setup-double-admin.exe
     --allow-elevating-setup)

get_filename_component(cpack_dir ${CPACK_CONFIG} DIRECTORY)
file(REMOVE ${cpack_dir}/conformance-kit.zip)
execute_process(COMMAND ${CPACK} --config ${CPACK_CONFIG} WORKING_DIRECTORY ${cpack_dir}
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0 OR NOT EXISTS ${cpack_dir}/conformance-kit.zip)
  message(FATAL_ERROR "cpack could not make ${cpack_dir}/conformance-kit.zip: ${output}")
endif()
file(COPY_FILE ${cpack_dir}/conformance-kit.zip ${ZIP})
