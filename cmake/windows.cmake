# stub.exe: no C runtime, GUI subsystem, entry point StubEntry, imports from three DLLs only.
add_executable(stub ${STUB_SOURCES} platform/windows/compiler_support.cpp)
target_include_directories(stub PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(stub PRIVATE UNICODE _UNICODE _WIN32_WINNT=0x0601)
target_compile_options(stub PRIVATE
  -Os -ffreestanding -fno-builtin -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector
  -ffunction-sections -fdata-sections -Wall -Wextra -Werror)
target_link_options(stub PRIVATE
  -nostdlib -nostartfiles -e StubEntry -mwindows -s
  -Wl,--gc-sections -Wl,--no-insert-timestamp
  -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va
  -Wl,--section-alignment=4096 -Wl,--file-alignment=512
  -Wl,-Map=${CMAKE_BINARY_DIR}/stub.map)
target_link_libraries(stub PRIVATE kernel32 advapi32 shell32 gcc)

# The Windows side of the Wine tests: an ordinary console program with the C runtime.
add_executable(launcher tests/wine/launcher.cpp)
target_compile_definitions(launcher PRIVATE UNICODE _UNICODE)
target_link_options(launcher PRIVATE -municode -static)

add_executable(print-constants tests/wine/print_constants.cpp)
target_include_directories(print-constants PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(print-constants PRIVATE UNICODE _UNICODE _WIN32_WINNT=0x0601)
target_link_options(print-constants PRIVATE -static)

# The image rules, checked on every build of stub.exe.
add_custom_command(TARGET stub POST_BUILD
  COMMAND python3 ${PROJECT_SOURCE_DIR}/tests/image/check_stub_image.py $<TARGET_FILE:stub>
          ${CMAKE_BINARY_DIR}/stub.map
  VERBATIM)
