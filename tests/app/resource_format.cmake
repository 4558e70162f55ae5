# The updater registers its embedded resource tree in format version 2: every
# registration call that rcc generated for updater.qrc below AUTOGEN_DIR
# passes version 2.
file(GLOB_RECURSE sources "${AUTOGEN_DIR}/*/qrc_updater.cpp")
if(NOT sources)
  message(FATAL_ERROR "no rcc output for updater.qrc below ${AUTOGEN_DIR}")
endif()
foreach(source IN LISTS sources)
  file(STRINGS "${source}" versions REGEX "int version = [0-9]+;")
  if(NOT versions)
    message(FATAL_ERROR "${source}: no registration found")
  endif()
  foreach(line IN LISTS versions)
    if(NOT line MATCHES "int version = 2;")
      message(FATAL_ERROR "${source}: registered as '${line}', not format version 2")
    endif()
  endforeach()
endforeach()
message(STATUS "resource tree format version 2 in: ${sources}")
