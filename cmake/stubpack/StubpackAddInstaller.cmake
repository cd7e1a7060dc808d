# stubpack_add_installer(<target> ARCHIVE <file> SETUP <file> [OUTPUT <file>] [ICON <file>]
#                        [SIGN <stubpack argument>...] [OPTIONS <stubpack argument>...]
#                        [DEPENDS <target or file>...])
#
# Adds <target>, built by default, which packs the installer with Stubpack::stubpack. It packs
# again when the archive, setup, the icon, stubpack or the installed stub change, and when a file
# that SIGN or OPTIONS names by an absolute path changes.
#
# A relative ARCHIVE, SETUP or ICON is taken from the current source directory, a relative
# OUTPUT from the current binary directory; OUTPUT defaults to <target>.exe there. An input that
# the project builds is named by its full path or a generator expression ($<TARGET_FILE:...>),
# and the target that makes it goes into DEPENDS, so that it is made first in every generator. SIGN and OPTIONS go to stubpack unchanged (SIGN last), so every
# signing option of the installed stubpack works here as on its command line.
function(stubpack_add_installer target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "ARCHIVE;SETUP;OUTPUT;ICON" "SIGN;OPTIONS;DEPENDS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "stubpack_add_installer(${target}): unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  foreach(required ARCHIVE SETUP)
    if(NOT arg_${required})
      message(FATAL_ERROR "stubpack_add_installer(${target}): ${required} <file> is required")
    endif()
  endforeach()
  if(NOT TARGET Stubpack::stubpack)
    message(FATAL_ERROR "stubpack_add_installer(${target}): no Stubpack::stubpack; find_package(Stubpack) first")
  endif()

  # Generator expressions are left for the generator to resolve.
  foreach(input ARCHIVE SETUP ICON)
    if(arg_${input} AND NOT arg_${input} MATCHES "\\$<")
      cmake_path(ABSOLUTE_PATH arg_${input} BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} NORMALIZE)
    endif()
  endforeach()
  if(NOT arg_OUTPUT)
    set(arg_OUTPUT ${target}.exe)
  endif()
  cmake_path(ABSOLUTE_PATH arg_OUTPUT BASE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR} NORMALIZE)

  set(command $<TARGET_FILE:Stubpack::stubpack>
      --archive ${arg_ARCHIVE} --setup ${arg_SETUP} --output ${arg_OUTPUT})
  set(depends $<TARGET_FILE:Stubpack::stubpack> ${arg_ARCHIVE} ${arg_SETUP})
  if(Stubpack_STUB)
    list(APPEND depends ${Stubpack_STUB})
  endif()
  if(arg_ICON)
    list(APPEND command --icon ${arg_ICON})
    list(APPEND depends ${arg_ICON})
  endif()
  list(APPEND command ${arg_OPTIONS} ${arg_SIGN})
  # Certificates, keys and passphrase files among the arguments: a new one packs again.
  foreach(argument IN LISTS arg_OPTIONS arg_SIGN)
    if(IS_ABSOLUTE "${argument}" AND EXISTS "${argument}" AND NOT IS_DIRECTORY "${argument}")
      list(APPEND depends ${argument})
    endif()
  endforeach()

  cmake_path(GET arg_OUTPUT PARENT_PATH output_directory)
  add_custom_command(OUTPUT ${arg_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${output_directory}
    COMMAND ${command}
    DEPENDS ${depends} ${arg_DEPENDS}
    COMMENT "Packing installer ${arg_OUTPUT}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${arg_OUTPUT})
  set_target_properties(${target} PROPERTIES STUBPACK_INSTALLER ${arg_OUTPUT})
endfunction()
