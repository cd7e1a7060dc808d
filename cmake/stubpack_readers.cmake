# The packer's readers of what users hand it (setup's image, resources, manifest, version
# resource and cabinet, icons, certificate files, installers for inspect), with zlib and nothing
# else: stubpack_core links them, the fuzzers build them with their instrumentation.
find_package(ZLIB REQUIRED)
set(STUBPACK_DIR ${PROJECT_SOURCE_DIR}/tools/stubpack)
add_library(stubpack_readers STATIC
  ${STUBPACK_DIR}/bytes.cpp
  ${STUBPACK_DIR}/cabinet_reader.cpp
  ${STUBPACK_DIR}/certificate_file_kind.cpp
  ${STUBPACK_DIR}/execution_level.cpp
  ${STUBPACK_DIR}/icon_group.cpp
  ${STUBPACK_DIR}/installer_resources.cpp
  ${STUBPACK_DIR}/layout.cpp
  ${STUBPACK_DIR}/mapped_file.cpp
  ${STUBPACK_DIR}/pe_image.cpp
  ${STUBPACK_DIR}/resource_directory.cpp
  ${STUBPACK_DIR}/resource_tree.cpp
  ${STUBPACK_DIR}/system.cpp
  ${STUBPACK_DIR}/version_info.cpp)
# The one door to the operating system (system.h), which the readers open files through.
if(WIN32)
  target_sources(stubpack_readers PRIVATE ${STUBPACK_DIR}/system_windows.cpp
    ${STUBPACK_DIR}/utf16_windows.cpp)
else()
  target_sources(stubpack_readers PRIVATE ${STUBPACK_DIR}/system_posix.cpp)
endif()
target_include_directories(stubpack_readers PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(stubpack_readers PUBLIC ZLIB::ZLIB)
