# The stub's sources and the emulation, and the packer's readers, instrumented for libFuzzer,
# with one fuzzer per target.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "the fuzz targets need clang (libFuzzer); configure with the fuzz preset")
endif()
set(STUB_FUZZ_SECONDS 20 CACHE STRING "how long ctest runs each fuzzer")

set(fuzz_sanitizers -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
add_compile_options(-Wall -Wextra -Werror)

include(cmake/emulation.cmake)
include(cmake/stubpack_readers.cmake)
foreach(library emulation stub_core stubpack_readers)
  target_compile_options(${library} PRIVATE -fsanitize=fuzzer-no-link ${fuzz_sanitizers})
endforeach()

# The stub's targets link its sources over the emulation; the packer's (packer_*) its readers of
# untrusted input. A new target is its name here and tests/fuzz/<name>_fuzz.cpp.
set(stub_fuzz_targets bounded_text setup_command_line extract_payload expand_cabinet)
set(packer_fuzz_targets packer_installer packer_setup_cabinet packer_manifest packer_icon
  packer_version_info packer_certificate_kind)
# Whole file images are larger than run_fuzzer.sh's default; their seeds are cut to this.
set(fuzz_max_len_packer_installer 65536)
set(fuzz_max_len_packer_setup_cabinet 65536)
set(fuzz_max_len_packer_icon 32768)

enable_testing()
foreach(target IN LISTS stub_fuzz_targets packer_fuzz_targets)
  add_executable(fuzz-${target} tests/fuzz/${target}_fuzz.cpp)
  target_compile_options(fuzz-${target} PRIVATE -fsanitize=fuzzer ${fuzz_sanitizers})
  target_link_options(fuzz-${target} PRIVATE -fsanitize=fuzzer ${fuzz_sanitizers})
  if(target IN_LIST packer_fuzz_targets)
    target_link_libraries(fuzz-${target} PRIVATE stubpack_readers)
  else()
    target_link_libraries(fuzz-${target} PRIVATE stub_core)
  endif()
  set(extra_flags)
  if(DEFINED fuzz_max_len_${target})
    set(extra_flags -max_len=${fuzz_max_len_${target}})
  endif()
  add_test(NAME fuzz-${target}
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/fuzz/run_fuzzer.sh $<TARGET_FILE:fuzz-${target}>
            ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus/${target} ${CMAKE_CURRENT_BINARY_DIR}/fuzz-runs/${target}
            ${STUB_FUZZ_SECONDS} ${extra_flags})
  set_tests_properties(fuzz-${target} PROPERTIES LABELS fuzz TIMEOUT 300)
endforeach()
