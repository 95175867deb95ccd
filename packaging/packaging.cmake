# Installation and packages. `cmake --install` puts the programs in bin/,
# the manual pages in share/man/man1 and the README, the sample programs,
# the copyright and the changelog in share/doc/fixqrv. `cpack` makes a
# Debian package of a native build and a zip of a Windows cross build.

set(CMAKE_INSTALL_DOCDIR share/doc/fixqrv CACHE PATH "Documentation folder")
include(GNUInstallDirs)

set(FIXQRV_MAINTAINER "FixQRV maintainers <fixqrv@example.org>" CACHE STRING
  "Maintainer named in the packages")
set(CPACK_PACKAGE_NAME fixqrv)
set(CPACK_PACKAGE_VENDOR "FixQRV")
set(CPACK_PACKAGE_CONTACT "${FIXQRV_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "upload the QRV program into a KTX or RVB controller over RS-232")
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_OUTPUT_FILE_PREFIX packages)

if(WIN32)
  # The zip a Windows technician unpacks: the 64-bit and the 32-bit
  # executable, the README with CR LF line ends and the sample programs.
  # The 64-bit cross build packs the executable of the 32-bit one.
  # The shipped executable needs no symbol table.
  target_link_options(fixqrv PRIVATE $<$<CONFIG:Release,MinSizeRel>:-s>)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(FIXQRV_WIN32_EXE ${CMAKE_SOURCE_DIR}/build-win32/fixqrv.exe CACHE FILEPATH
      "fixqrv.exe of the 32-bit cross build, packed beside the 64-bit one")
    install(PROGRAMS $<TARGET_FILE:fixqrv> DESTINATION win64)
    install(PROGRAMS ${FIXQRV_WIN32_EXE} DESTINATION win32)
  else()
    install(PROGRAMS $<TARGET_FILE:fixqrv> DESTINATION win32)
  endif()
  file(READ ${CMAKE_SOURCE_DIR}/README.md readme)
  string(REPLACE "\r\n" "\n" readme "${readme}")
  string(REPLACE "\n" "\r\n" readme "${readme}")
  file(WRITE ${CMAKE_BINARY_DIR}/README.txt "${readme}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/README.md)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/ DESTINATION examples)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME fixqrv-${PROJECT_VERSION}-windows)
  include(CPack)
  return()
endif()

install(TARGETS fixqrv fixqrv-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
add_subdirectory(${CMAKE_SOURCE_DIR}/man ${CMAKE_BINARY_DIR}/man)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The copyright and a Debian changelog (compressed, as Debian wants it),
# its entry carrying the project's version.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND ${GZIP_PROGRAM} -9 -n -k -f changelog
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/packaging
  VERBATIM)
add_custom_target(changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${FIXQRV_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The synopsis line is the summary above; this is the extended description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "FixQRV puts a program text file, QRV1.BAS or QRV2.BAS as the controller
asks, into a KTX or RVB field data-logger controller over an RS-232 line.
It breaks into the controller's command interpreter, passes its wake-up
and password dialogue, switches the line to 19200 baud and sends the file
one character at a time, verifying the echo of every line, honouring
XOFF/XON and showing its progress on an 80x24 text screen.
.
The package also holds fixqrv-sim, a controller simulator on a
pseudo-terminal for trying FixQRV without a controller, and sample
programs.")
include(CPack)
