# The stub's sources against the emulation, with the host tests.
option(STUB_SANITIZE "AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(STUB_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
add_compile_options(-Wall -Wextra -Werror)

find_package(GTest REQUIRED)
include(GoogleTest)
enable_testing()

include(cmake/emulation.cmake)

add_executable(host-tests
  tests/host/strings_test.cpp
  tests/host/emulation_test.cpp
  tests/host/stub_config_test.cpp
  tests/host/work_directory_test.cpp
  tests/host/remove_path_test.cpp
  tests/host/run_stub_test.cpp
  tests/host/payload_test.cpp
  tests/host/launch_setup_test.cpp
  tests/host/windows_model_test.cpp
)
target_link_libraries(host-tests PRIVATE stub_core GTest::gtest_main)
gtest_discover_tests(host-tests DISCOVERY_TIMEOUT 60)

# The sweeps over whole runs: one ctest entry each, whose output ends with the summary line.
add_executable(sweep-tests tests/host/fault_sweep_test.cpp)
target_link_libraries(sweep-tests PRIVATE stub_core GTest::gtest_main)
add_test(NAME fault-sweep COMMAND sweep-tests --gtest_filter=Layouts/FaultSweepTest.*)
add_test(NAME crash-sweep COMMAND sweep-tests --gtest_filter=Layouts/CrashSweepTest.*)
set_tests_properties(fault-sweep crash-sweep PROPERTIES LABELS sweep)
# Each fault that the sweeps must catch, put into a copy of the sources in turn; sanitizers add
# nothing to it.
if(NOT STUB_SANITIZE)
  add_test(NAME sweep-mutations
    COMMAND python3 ${PROJECT_SOURCE_DIR}/tests/host/sweep_mutations.py ${PROJECT_SOURCE_DIR}
            ${CMAKE_BINARY_DIR}/sweep-mutations)
  set_tests_properties(sweep-mutations PROPERTIES LABELS sweep TIMEOUT 1200)
endif()
# The layers include only downward; the packer takes only the bottom one.
add_test(NAME include-layers
  COMMAND python3 ${PROJECT_SOURCE_DIR}/tests/host/include_layers.py ${PROJECT_SOURCE_DIR})
set_tests_properties(include-layers PROPERTIES LABELS layers)

add_subdirectory(tests/image)
add_subdirectory(tools/stubpack)
# Installing stubpack, its CMake package and its .deb, and the tests of the installed tree.
include(cmake/packaging.cmake)
add_subdirectory(tests/install)
# The Wine suite runs the Windows build's executables; sanitizers add nothing to it.
if(NOT STUB_SANITIZE)
  add_subdirectory(tests/wine)
  add_subdirectory(tests/conformance)
endif()
