include(cmake/no_crt_program.cmake)

# stub.exe: GUI subsystem, entry point StubEntry, imports from three DLLs only.
stub_add_no_crt_program(stub ENTRY StubEntry
  SOURCES ${STUB_SOURCES} core/compiler_support.cpp
  LIBRARIES kernel32 advapi32 shell32
  MAP ${CMAKE_BINARY_DIR}/stub.map)

# The Windows side of the Wine tests: an ordinary console program with the C runtime.
add_executable(launcher tests/wine/launcher.cpp)
target_compile_definitions(launcher PRIVATE UNICODE _UNICODE)
target_link_options(launcher PRIVATE -municode -static)

add_executable(print-constants tests/wine/print_constants.cpp)
target_include_directories(print-constants PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(print-constants PRIVATE UNICODE _UNICODE _WIN32_WINNT=0x0601)
target_link_options(print-constants PRIVATE -static)
target_link_libraries(print-constants PRIVATE ntdll)

# The image rules, checked on every build of stub.exe.
add_custom_command(TARGET stub POST_BUILD
  COMMAND python3 ${PROJECT_SOURCE_DIR}/tests/image/check_stub_image.py $<TARGET_FILE:stub>
          ${CMAKE_BINARY_DIR}/stub.map
  VERBATIM)

# One image per rule, each breaking only that rule, for the test that the check refuses them.
set(STUB_BAD_IMAGE_SAMPLES constructor extra-import console-subsystem section-alignment wrong-entry)
foreach(sample IN LISTS STUB_BAD_IMAGE_SAMPLES)
  set(options)
  set(libraries kernel32)
  if(sample STREQUAL "constructor")
    list(APPEND options DEFINITIONS SAMPLE_CONSTRUCTOR)
  elseif(sample STREQUAL "extra-import")
    list(APPEND options DEFINITIONS SAMPLE_EXTRA_IMPORT)
    list(APPEND libraries user32)
  elseif(sample STREQUAL "console-subsystem")
    list(APPEND options CONSOLE)
  elseif(sample STREQUAL "section-alignment")
    list(APPEND options SECTION_ALIGNMENT 8192)
  elseif(sample STREQUAL "wrong-entry")
    list(APPEND options DEFINITIONS SAMPLE_WRONG_ENTRY MAP ${CMAKE_BINARY_DIR}/bad-image-wrong-entry.map)
  endif()
  stub_add_no_crt_program(bad-image-${sample} ENTRY SampleEntry
    SOURCES tests/image/bad_image_sample.cpp LIBRARIES ${libraries} ${options})
endforeach()

# The packer's Wine tests: lists a packed installer's resources as the loader finds them, and
# plays setup.exe when a stub starts it.
add_executable(enum-resources tests/packer/enum_resources.cpp)
target_compile_definitions(enum-resources PRIVATE UNICODE _UNICODE)
target_link_options(enum-resources PRIVATE -municode -static)
target_link_libraries(enum-resources PRIVATE version)
# The system's cabinet library as the third reader of the packer's cabinets.
add_executable(cabinet-dll-expand tests/packer/cabinet_dll_expand.cpp)
target_link_options(cabinet-dll-expand PRIVATE -static)
target_link_libraries(cabinet-dll-expand PRIVATE cabinet)

# The packer's way of starting tools on Windows, run under Wine (tests/packer/tool_run_wine_test):
# the test program, the child that prints what it was started with, and a double of
# osslsigncode in a directory of its own, for a test to put first on PATH.
add_executable(print-arguments tests/packer/print_arguments.cpp)
target_compile_definitions(print-arguments PRIVATE UNICODE _UNICODE)
target_link_options(print-arguments PRIVATE -municode -static)
add_executable(tool-run-test tests/packer/tool_run_windows_test.cpp
  tools/stubpack/tool_run_windows.cpp tools/stubpack/utf16_windows.cpp)
target_include_directories(tool-run-test PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(tool-run-test PRIVATE UNICODE _UNICODE _WIN32_WINNT=0x0601)
target_link_options(tool-run-test PRIVATE -municode -static)
target_link_libraries(tool-run-test PRIVATE advapi32 bcrypt)
add_dependencies(tool-run-test print-arguments osslsigncode-double)
add_executable(osslsigncode-double tests/packer/osslsigncode_double.cpp)
set_target_properties(osslsigncode-double PROPERTIES OUTPUT_NAME osslsigncode
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/osslsigncode-double)
target_compile_definitions(osslsigncode-double PRIVATE UNICODE _UNICODE)
target_link_options(osslsigncode-double PRIVATE -municode -static)

# The packer's tests of elevation: one tiny setup, linked without a manifest and with each of
# tests/packer/manifests/, as a 64-bit program (elevation-setup-NAME.exe) and, for the rules of
# installer detection, as a 32-bit one (elevation-setup32-NAME.exe). The toolchain carries no
# 32-bit linker script: tests/packer/pe32.ld is the whole of that link.
set(elevation_source ${PROJECT_SOURCE_DIR}/tests/packer/elevation_setup.cpp)
set(elevation_dir ${CMAKE_BINARY_DIR}/elevation-setups)
set(elevation_32_bit none no-level as-invoker)
add_custom_command(OUTPUT ${elevation_dir}/setup32.o
  COMMAND ${CMAKE_CXX_COMPILER} -m32 ${STUB_NO_CRT_COMPILE_OPTIONS} -c ${elevation_source}
          -o ${elevation_dir}/setup32.o
  DEPENDS ${elevation_source}
  VERBATIM)
set(elevation_32_bit_images)
foreach(manifest none no-level as-invoker highest-available require-administrator
        prefixed-require-administrator)
  set(resources_64 "")
  set(resources_32 "")
  if(NOT manifest STREQUAL "none")
    set(xml ${PROJECT_SOURCE_DIR}/tests/packer/manifests/${manifest}.xml)
    file(WRITE ${elevation_dir}/${manifest}.rc "1 24 \"${xml}\"\n")
    foreach(bits 64 32)
      set(target_format pe-x86-64)
      if(bits EQUAL 32)
        set(target_format pe-i386)
      endif()
      add_custom_command(OUTPUT ${elevation_dir}/${manifest}-${bits}.res.o
        COMMAND ${CMAKE_RC_COMPILER} -F ${target_format} ${elevation_dir}/${manifest}.rc -O coff
                -o ${elevation_dir}/${manifest}-${bits}.res.o
        DEPENDS ${xml}
        VERBATIM)
      set(resources_${bits} ${elevation_dir}/${manifest}-${bits}.res.o)
    endforeach()
  endif()
  stub_add_no_crt_program(elevation-setup-${manifest} ENTRY SetupEntry
    SOURCES ${elevation_source} ${resources_64})
  if(manifest IN_LIST elevation_32_bit)
    set(image ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/elevation-setup32-${manifest}.exe)
    add_custom_command(OUTPUT ${image}
      COMMAND ${CMAKE_LINKER} -m i386pe -T ${PROJECT_SOURCE_DIR}/tests/packer/pe32.ld
              -e _SetupEntry@4 --subsystem windows -s --no-insert-timestamp -o ${image}
              ${elevation_dir}/setup32.o ${resources_32}
      DEPENDS ${elevation_dir}/setup32.o ${resources_32} ${PROJECT_SOURCE_DIR}/tests/packer/pe32.ld
      VERBATIM)
    list(APPEND elevation_32_bit_images ${image})
  endif()
endforeach()
add_custom_target(elevation-setups32 ALL DEPENDS ${elevation_32_bit_images})

# The packer's tests of the version block: the same tiny setup with a version resource of its own.
add_custom_command(OUTPUT ${elevation_dir}/version-setup.res.o
  COMMAND ${CMAKE_RC_COMPILER} -c 1252 ${PROJECT_SOURCE_DIR}/tests/packer/version_setup.rc
          -O coff -o ${elevation_dir}/version-setup.res.o
  DEPENDS ${PROJECT_SOURCE_DIR}/tests/packer/version_setup.rc
  VERBATIM)
stub_add_no_crt_program(version-setup ENTRY SetupEntry
  SOURCES ${elevation_source} ${elevation_dir}/version-setup.res.o)

# demo-setup.exe plays setup.exe; below it, the installers its Wine tests run (stub objects linked
# with a real 7z archive, its damaged variants and demo-setup as the setup cabinet).
# Its version resource gives an installer packed with it the demo product's names.
set(demo_setup_version ${CMAKE_BINARY_DIR}/demo-setup-version.res.o)
add_custom_command(OUTPUT ${demo_setup_version}
  COMMAND ${CMAKE_RC_COMPILER} ${PROJECT_SOURCE_DIR}/tools/demo-setup/demo_setup.rc -O coff
          -o ${demo_setup_version}
  DEPENDS ${PROJECT_SOURCE_DIR}/tools/demo-setup/demo_setup.rc
  VERBATIM)
add_executable(demo-setup tools/demo-setup/demo_setup.cpp tools/demo-setup/setup_arguments.cpp
  tools/demo-setup/start_header.cpp ${demo_setup_version})
target_include_directories(demo-setup PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(demo-setup PRIVATE UNICODE _UNICODE _WIN32_WINNT=0x0601)
target_compile_options(demo-setup PRIVATE -Os -Wall -Wextra -Werror)
target_link_options(demo-setup PRIVATE -municode -mwindows -static -s -Wl,--no-insert-timestamp)
target_link_libraries(demo-setup PRIVATE shell32 ole32 uuid)

find_program(STUB_7ZZ 7zz)
find_program(STUB_GCAB gcab)
find_program(STUB_PYTHON python3)
if(STUB_7ZZ AND STUB_GCAB AND STUB_PYTHON)
  set(fixtures ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/demo-setup-fixtures)
  add_custom_command(
    OUTPUT ${fixtures}/archive.7z ${fixtures}/SETUP.EX_ ${fixtures}/installer.rc
           ${fixtures}/archives.rc
    COMMAND ${STUB_PYTHON} ${PROJECT_SOURCE_DIR}/tests/wine/demo_setup_fixtures.py ${STUB_7ZZ}
            ${STUB_GCAB} $<TARGET_FILE:demo-setup> ${fixtures}
    DEPENDS demo-setup ${PROJECT_SOURCE_DIR}/tests/wine/demo_setup_fixtures.py
    VERBATIM)
  # The stub's own link, minus its map file, so the test installers are the stub plus resources.
  get_target_property(stub_link_options stub LINK_OPTIONS)
  list(FILTER stub_link_options EXCLUDE REGEX "^-Wl,-Map=")
  foreach(fixture installer archives)
    add_custom_command(
      OUTPUT ${fixtures}/${fixture}.res.o
      COMMAND ${CMAKE_RC_COMPILER} ${fixtures}/${fixture}.rc -O coff -o ${fixtures}/${fixture}.res.o
      DEPENDS ${fixtures}/${fixture}.rc ${fixtures}/archive.7z ${fixtures}/SETUP.EX_
      VERBATIM)
    add_executable(demo-setup-${fixture} $<TARGET_OBJECTS:stub> ${fixtures}/${fixture}.res.o)
    set_target_properties(demo-setup-${fixture} PROPERTIES LINKER_LANGUAGE CXX)
    target_link_options(demo-setup-${fixture} PRIVATE ${stub_link_options})
    target_link_libraries(demo-setup-${fixture} PRIVATE kernel32 advapi32 shell32 gcc)
  endforeach()
else()
  message(WARNING "7zz, gcab or python3 missing: no demo-setup test installers (the Wine tests fail)")
endif()

# Benchmark: the stub's cabinet expansion against cabinet.dll with the leanest callbacks (bench/).
add_executable(expand-cabinet-bench bench/expand_cabinet_bench.cpp payload/cabinet_expansion.cpp
  payload/output_file.cpp strings/bounded_text.cpp core/fill_bytes.cpp)
target_include_directories(expand-cabinet-bench PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(expand-cabinet-bench PRIVATE UNICODE _UNICODE _WIN32_WINNT=0x0601)
target_compile_options(expand-cabinet-bench PRIVATE -O2)
target_link_options(expand-cabinet-bench PRIVATE -static)

# Benchmark programs (bench/run.sh): setup.exe that ends at once, and the trivial parent that
# only starts a program and waits, both without a C runtime like the stub.
stub_add_no_crt_program(exit-at-once ENTRY SetupEntry SOURCES bench/exit_at_once.cpp
  LIBRARIES kernel32)
stub_add_no_crt_program(trivial-parent ENTRY ParentEntry SOURCES bench/trivial_parent.cpp
  LIBRARIES kernel32)
stub_add_no_crt_program(trivial-parent-imports ENTRY ParentEntry SOURCES bench/trivial_parent.cpp
  DEFINITIONS PARENT_WITH_STUB_IMPORTS LIBRARIES kernel32 advapi32 shell32)
include(tests/conformance/windows.cmake)

# stubpack.exe, the packer as a Windows console program, and the zip for Windows users.
add_subdirectory(tools/stubpack)
include(cmake/windows_zip.cmake)
# The checks of the packer's Windows door to the system (system_windows.cpp), which
# tests/packer/system_door_wine_test.cpp runs under Wine.
add_executable(system-windows-check tests/packer/system_windows_check.cpp)
target_link_options(system-windows-check PRIVATE -municode -static)
target_link_libraries(system-windows-check PRIVATE stubpack_readers)
