# The stub's sources and the emulation, instrumented for libFuzzer, with one fuzzer per target.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "the fuzz targets need clang (libFuzzer); configure with the fuzz preset")
endif()
set(STUB_FUZZ_SECONDS 20 CACHE STRING "how long ctest runs each fuzzer")

set(fuzz_sanitizers -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
add_compile_options(-Wall -Wextra -Werror)

include(cmake/emulation.cmake)
foreach(library emulation stub_core)
  target_compile_options(${library} PRIVATE -fsanitize=fuzzer-no-link ${fuzz_sanitizers})
endforeach()

enable_testing()
foreach(target bounded_text setup_command_line extract_payload expand_cabinet)
  add_executable(fuzz-${target} tests/fuzz/${target}_fuzz.cpp)
  target_compile_options(fuzz-${target} PRIVATE -fsanitize=fuzzer ${fuzz_sanitizers})
  target_link_options(fuzz-${target} PRIVATE -fsanitize=fuzzer ${fuzz_sanitizers})
  target_link_libraries(fuzz-${target} PRIVATE stub_core)
  add_test(NAME fuzz-${target}
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/fuzz/run_fuzzer.sh $<TARGET_FILE:fuzz-${target}>
            ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus/${target} ${CMAKE_CURRENT_BINARY_DIR}/fuzz-runs/${target}
            ${STUB_FUZZ_SECONDS})
  set_tests_properties(fuzz-${target} PROPERTIES LABELS fuzz TIMEOUT 300)
endforeach()
