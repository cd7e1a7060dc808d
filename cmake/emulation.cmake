# The stub's sources over the emulation: the libraries that host tests and fuzzers link.
add_library(emulation STATIC
  platform/emulated/process.cpp
  platform/emulated/registry.cpp
  platform/emulated/security.cpp
  platform/emulated/file_system.cpp
  platform/emulated/modules.cpp
)
target_include_directories(emulation PUBLIC ${PROJECT_SOURCE_DIR})

add_library(stub_core STATIC ${STUB_SOURCES})
target_link_libraries(stub_core PUBLIC emulation)
