# The conformance kit's Windows programs (the host build packs and assembles the kit): the runner
# and the setup double, as ordinary programs with a static runtime, so that the kit runs on a
# bare Windows; the double once more with a manifest that asks for administrator rights.
set(conformance_dir ${PROJECT_SOURCE_DIR}/tests/conformance)
add_executable(conformance ${conformance_dir}/conformance.cpp)
set_target_properties(conformance PROPERTIES CXX_STANDARD 20)
target_compile_definitions(conformance PRIVATE UNICODE _UNICODE _WIN32_WINNT=0x0601)
target_compile_options(conformance PRIVATE -Wall -Wextra -Werror)
target_include_directories(conformance PRIVATE ${PROJECT_SOURCE_DIR})
target_link_options(conformance PRIVATE -municode -static -s)
target_link_libraries(conformance PRIVATE advapi32)

set(conformance_manifest ${PROJECT_SOURCE_DIR}/tests/packer/manifests/require-administrator.xml)
set(conformance_admin_rc ${CMAKE_BINARY_DIR}/conformance/require-administrator.rc)
file(WRITE ${conformance_admin_rc} "1 24 \"${conformance_manifest}\"\n")
add_custom_command(OUTPUT ${conformance_admin_rc}.o
  COMMAND ${CMAKE_RC_COMPILER} -F pe-x86-64 ${conformance_admin_rc} -O coff
          -o ${conformance_admin_rc}.o
  DEPENDS ${conformance_manifest}
  VERBATIM)
foreach(variant setup-double setup-double-admin)
  set(sources ${conformance_dir}/setup_double.cpp)
  if(variant STREQUAL "setup-double-admin")
    list(APPEND sources ${conformance_admin_rc}.o)
  endif()
  add_executable(${variant} ${sources})
  target_compile_definitions(${variant} PRIVATE UNICODE _UNICODE _WIN32_WINNT=0x0601)
  target_compile_options(${variant} PRIVATE -Os -Wall -Wextra -Werror)
  target_include_directories(${variant} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_options(${variant} PRIVATE -municode -mwindows -static -s)
  target_link_libraries(${variant} PRIVATE advapi32 shell32)
endforeach()
