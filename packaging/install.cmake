# Installation and the Debian package.
#
#   cmake --install build [--prefix DIR]
#   cd build && cpack -G DEB
#
# Included at the very end of the top-level CMakeLists.txt, so the program
# targets of every subdirectory already exist.

include(GNUInstallDirs)

# Installing and packaging take what the build made and never build it
# themselves (cpack would otherwise run a build of everything first, which
# could relink programs under tests that are running).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# The package is named kvoda-ser, so its documents go under that name rather
# than under the project name that CMAKE_INSTALL_DOCDIR would use.
set(KVODA_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/kvoda-ser")
set(KVODA_EXAMPLES_DIR "${KVODA_DOC_DIR}/examples")

install(TARGETS kvoda_ser kvoda_sim RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")

# kvoda_plot is optional. Deciding at the end of the top-level directory also
# catches a subdirectory that is added after this file is included.
function(kvoda_install_plot)
  if(TARGET kvoda_plot)
    install(TARGETS kvoda_plot RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
  endif()
  if(TARGET kvoda_pub)
    install(TARGETS kvoda_pub RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
  endif()
endfunction()
if(CMAKE_VERSION VERSION_GREATER_EQUAL 3.19)
  cmake_language(DEFER CALL kvoda_install_plot)
else()
  kvoda_install_plot()
endif()

install(FILES "${CMAKE_SOURCE_DIR}/README.md" "${CMAKE_CURRENT_LIST_DIR}/copyright" DESTINATION "${KVODA_DOC_DIR}")
install(FILES "${CMAKE_CURRENT_LIST_DIR}/99-kvoda.rules" DESTINATION "${KVODA_EXAMPLES_DIR}")

# The man pages carry the one version string in their title lines; it is
# put in here, so the pages in the tree hold only a placeholder.
foreach(kvoda_page kvoda_ser.1 kvoda_sim.1 kvoda_plot.1 kvoda_pub.1)
  configure_file("${CMAKE_CURRENT_LIST_DIR}/${kvoda_page}" "${CMAKE_BINARY_DIR}/packaging/man/${kvoda_page}" @ONLY)
endforeach()

# The service unit and the cron line name the program by its full path (cron
# and systemd do not search /usr/local/bin). The files in the source tree say
# /usr/bin/kvoda_ser, which is right for the package; any other prefix given
# at install time is written into the installed copies. The man pages and the
# changelog are compressed on the way; kvoda_pub's page goes only with the
# program, which is built only with libmosquitto.
install(CODE "set(KVODA_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
set(KVODA_PACKAGING_SRC \"${CMAKE_CURRENT_LIST_DIR}\")
set(KVODA_EXAMPLES_DIR \"${KVODA_EXAMPLES_DIR}\")
set(KVODA_STAGE_ROOT \"${CMAKE_BINARY_DIR}/packaging\")
set(KVODA_MAN_DIR \"${CMAKE_INSTALL_MANDIR}/man1\")
set(KVODA_DOC_DIR \"${KVODA_DOC_DIR}\")
set(KVODA_MAN_SRC \"${CMAKE_BINARY_DIR}/packaging/man\")
set(KVODA_MAN_PAGES \"kvoda_ser.1;kvoda_sim.1;kvoda_plot.1$<$<TARGET_EXISTS:kvoda_pub>:;kvoda_pub.1>\")")
install(CODE [==[
  if(IS_ABSOLUTE "${KVODA_BINDIR}")
    set(kvoda_bindir "${KVODA_BINDIR}")
  else()
    set(kvoda_bindir "${CMAKE_INSTALL_PREFIX}/${KVODA_BINDIR}")
  endif()
  # A staging directory of its own, so that installs running side by side
  # (a test and cpack, say) do not write the same files.
  string(RANDOM LENGTH 12 kvoda_tag)
  set(kvoda_stage "${KVODA_STAGE_ROOT}/examples-${kvoda_tag}")
  set(kvoda_staged "")
  foreach(kvoda_f kvoda-ser.service kvoda-ser.cron)
    file(READ "${KVODA_PACKAGING_SRC}/${kvoda_f}" kvoda_text)
    string(REPLACE "/usr/bin/kvoda_ser" "${kvoda_bindir}/kvoda_ser" kvoda_text "${kvoda_text}")
    file(WRITE "${kvoda_stage}/${kvoda_f}" "${kvoda_text}")
    list(APPEND kvoda_staged "${kvoda_stage}/${kvoda_f}")
  endforeach()
  file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${KVODA_EXAMPLES_DIR}" TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ FILES ${kvoda_staged})

  # Man pages and the changelog go in compressed, as Debian wants them; -n
  # keeps name and time out of the archive, so a rebuild gives the same bytes.
  function(kvoda_install_gz src dest_dir name)
    execute_process(COMMAND gzip -9 -n -c "${src}" OUTPUT_FILE "${kvoda_stage}/${name}.gz"
                    RESULT_VARIABLE kvoda_rc)
    if(NOT kvoda_rc EQUAL 0)
      message(FATAL_ERROR "gzip of ${src} failed: ${kvoda_rc}")
    endif()
    if(NOT IS_ABSOLUTE "${dest_dir}")
      set(dest_dir "${CMAKE_INSTALL_PREFIX}/${dest_dir}")
    endif()
    file(INSTALL DESTINATION "${dest_dir}" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ FILES "${kvoda_stage}/${name}.gz")
  endfunction()
  foreach(kvoda_page ${KVODA_MAN_PAGES})
    kvoda_install_gz("${KVODA_MAN_SRC}/${kvoda_page}" "${KVODA_MAN_DIR}" "${kvoda_page}")
  endforeach()
  kvoda_install_gz("${KVODA_PACKAGING_SRC}/changelog" "${KVODA_DOC_DIR}" "changelog.Debian")
  file(REMOVE_RECURSE "${kvoda_stage}")
]==])

# --- Debian package -------------------------------------------------------
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "kvoda-ser")
set(CPACK_PACKAGE_VENDOR "kvoda_ser project")
set(CPACK_PACKAGE_CONTACT "kvoda_ser maintainers <maintainers@kvoda-ser.invalid>")
set(CPACK_PACKAGE_VERSION "${KVODA_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service tool for electronic hive scales on a serial line")
# The long description; CPack puts the summary above it and indents it.
# kvoda_pub is built only with libmosquitto, and named only then.
if(TARGET kvoda_pub)
  set(kvoda_pub_text " kvoda_pub sends
the records of existing data files to an MQTT broker, as kvoda_ser
publishes them while logging.")
  set(kvoda_pub_page ", kvoda_plot(1) and kvoda_pub(1)")
else()
  set(kvoda_pub_text "")
  set(kvoda_pub_page " and kvoda_plot(1)")
endif()
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "kvoda_ser finds the USB-to-serial adapter of a line of hive scales, finds
the scales on it, gives a scale its number, calibrates it, edits its
constants, tests the line, and logs weight and temperature to a
tab-separated file, interactively or unattended from boot.

kvoda_sim simulates such a line on a pseudo-terminal, for trying the tool
without hardware. kvoda_plot draws the data files as an SVG picture, a
panel of weight and temperature per scale.${kvoda_pub_text}

Each program has its manual page: kvoda_ser(1), kvoda_sim(1)${kvoda_pub_page}.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION "electronics")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_RELEASE "1")
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
# Set by hand: computing them would need dpkg-shlibdeps (dpkg-dev), which a
# plain machine lacks. The programs use only the C and C++ run-time and,
# when built with publishing, libmosquitto.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1${KVODA_DEB_MQTT}")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "systemd | cron")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
include(CPack)
