# Windows programs built as the stub is: no C runtime, no startup files, an entry point of their
# own, the GUI subsystem unless asked otherwise. The stub, the image check's samples and the
# benchmark's trivial parents share this one flag list, so that what the samples and the
# benchmark show holds for the stub.
#
#   stub_add_no_crt_program(<name> ENTRY <symbol> SOURCES <file>...
#                           [LIBRARIES <lib>...] [DEFINITIONS <def>...] [CONSOLE]
#                           [SECTION_ALIGNMENT <bytes>] [MAP <file>])
set(STUB_NO_CRT_COMPILE_OPTIONS
  -Os -ffreestanding -fno-builtin -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector
  -ffunction-sections -fdata-sections -Wall -Wextra -Werror)

function(stub_add_no_crt_program name)
  cmake_parse_arguments(PROGRAM "CONSOLE" "ENTRY;SECTION_ALIGNMENT;MAP"
                        "SOURCES;LIBRARIES;DEFINITIONS" ${ARGN})
  if(NOT PROGRAM_ENTRY OR NOT PROGRAM_SOURCES)
    message(FATAL_ERROR "stub_add_no_crt_program(${name}): ENTRY and SOURCES are required")
  endif()
  if(NOT PROGRAM_SECTION_ALIGNMENT)
    set(PROGRAM_SECTION_ALIGNMENT 4096)
  endif()
  set(subsystem -mwindows)
  if(PROGRAM_CONSOLE)
    set(subsystem -mconsole)
  endif()
  set(map)
  if(PROGRAM_MAP)
    set(map -Wl,-Map=${PROGRAM_MAP})
  endif()

  add_executable(${name} ${PROGRAM_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE UNICODE _UNICODE _WIN32_WINNT=0x0601
                             ${PROGRAM_DEFINITIONS})
  target_compile_options(${name} PRIVATE ${STUB_NO_CRT_COMPILE_OPTIONS})
  target_link_options(${name} PRIVATE
    -nostdlib -nostartfiles -e ${PROGRAM_ENTRY} ${subsystem} -s
    -Wl,--gc-sections -Wl,--no-insert-timestamp
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va
    -Wl,--section-alignment=${PROGRAM_SECTION_ALIGNMENT} -Wl,--file-alignment=512
    ${map})
  # libgcc for the stack probe of frames over 4 KiB.
  target_link_libraries(${name} PRIVATE ${PROGRAM_LIBRARIES} gcc)
endfunction()
