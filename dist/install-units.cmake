# Run by cmake --install: writes the systemd units with the programs' paths
# under the prefix of this install, then installs them.
set(SBINDIR "${CMAKE_INSTALL_PREFIX}/sbin")
file(GLOB units "${ORV_UNIT_SOURCES}/*.service.in")
set(staged "")
foreach(in ${units})
  get_filename_component(name "${in}" NAME)
  string(REGEX REPLACE "\\.in$" "" name "${name}")
  string(REGEX REPLACE "\\.service$" "" program "${name}")
  list(FIND ORV_LEFT_OUT "${program}" left_out)
  if(NOT left_out EQUAL -1)
    continue()
  endif()
  configure_file("${in}" "${ORV_UNIT_STAGE}/${name}" @ONLY)
  list(APPEND staged "${ORV_UNIT_STAGE}/${name}")
endforeach()
# file(INSTALL) puts $DESTDIR in front of the destination itself.
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" TYPE FILE
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ FILES ${staged})
