# The zip for Windows users (cpack --config build/windows/CPackConfig.cmake, or the `package`
# target): stubpack.exe with stub.exe beside it, where it looks for the stub, and the documents
# in the layout README's links expect.
install(TARGETS stubpack RUNTIME DESTINATION .)
install(FILES $<TARGET_FILE:stub> DESTINATION .)
file(GLOB stubpack_docs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
install(FILES ${stubpack_docs} DESTINATION docs)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME stubpack)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Zarnith)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "packer for the Windows installer stub")
set(CPACK_SYSTEM_NAME win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES OFF)  # stubpack.exe is linked stripped; stub.exe must stay as checked
include(CPack)
