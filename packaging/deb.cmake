# The .deb for lab machines (cpack in the build folder): the blinker and our
# port library side by side in /usr/libexec/led-blink, as the program
# looks for the library in its own folder (found through the /usr/bin link
# too), lptmon in /usr/bin, the docs and the licence, and ppdev loaded at
# boot. Installed as the component "deb" only, so that `cmake --install`
# keeps its one-folder layout. No maintainer scripts: dpkg removes all of it.
if(WIN32 OR LPT_SANITIZE)
  return()
endif()

set(LPT_DEB_VERSION 1.0.0)
set(LPT_DEB_MAINTAINER "The LED_blink developers <led-blink@example.org>")
set(deb_stage ${CMAKE_BINARY_DIR}/packaging)
# Not under /usr/lib: a library there would have CPack add ldconfig calls
# that a library loaded by path does not need.
set(deb_lib libexec/led-blink)
set(deb_doc share/doc/led-blink)

install(TARGETS LED_blink RUNTIME DESTINATION ${deb_lib} COMPONENT deb EXCLUDE_FROM_ALL)
install(TARGETS inpout32 LIBRARY DESTINATION ${deb_lib} COMPONENT deb EXCLUDE_FROM_ALL)
install(TARGETS lptmon RUNTIME DESTINATION bin COMPONENT deb EXCLUDE_FROM_ALL)
file(MAKE_DIRECTORY ${deb_stage}/bin)
file(CREATE_LINK ../${deb_lib}/LED_blink ${deb_stage}/bin/LED_blink SYMBOLIC)
install(FILES ${deb_stage}/bin/LED_blink DESTINATION bin COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/ppdev.conf DESTINATION lib/modules-load.d
  RENAME led-blink.conf COMPONENT deb EXCLUDE_FROM_ALL)

# Debian's machine-readable copyright file and a compressed changelog, both
# made from the repository's own texts.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" copyright_line "${licence}")
set(copyright_holder "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^MIT License\n\nCopyright[^\n]*\n\n" "" licence_text "${licence}")
string(REGEX REPLACE "\n\n" "\n.\n" licence_text "${licence_text}")
string(REGEX REPLACE "\n([^\n])" "\n \\1" licence_text " ${licence_text}")
string(STRIP "${licence_text}" licence_text)
file(WRITE ${deb_stage}/copyright
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: led-blink\n\n"
  "Files: *\nCopyright: ${copyright_holder}\nLicense: Expat\n ${licence_text}\n")
file(WRITE ${deb_stage}/changelog
  "led-blink (${LPT_DEB_VERSION}) unstable; urgency=low\n\n"
  "  * Package for lab machines.\n\n"
  " -- ${LPT_DEB_MAINTAINER}  Sun, 06 Dec 2026 12:00:00 +0000\n")
execute_process(COMMAND gzip -9nf ${deb_stage}/changelog)
install(FILES ${deb_stage}/copyright ${deb_stage}/changelog.gz DESTINATION ${deb_doc}
  COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${deb_doc} COMPONENT deb EXCLUDE_FROM_ALL)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${deb_doc}/docs COMPONENT deb EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};LED_blink;deb;/")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_NAME led-blink)
set(CPACK_PACKAGE_VERSION ${LPT_DEB_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${LPT_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "blinks two LEDs on a PC parallel port")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "LED_blink makes two LEDs on the data lines D0 and D1 of the parallel port
at 0x3BC blink in turn, one second each, until a key is pressed. It drives
a real port through the kernel's ppdev driver (loaded at boot by this
package), or, on a machine without one, a virtual port that lptmon shows.

To drive a real port, a user must be in the group lp:
sudo usermod -aG lp USER, then log in again. A port at another address is
used with LPT_PORT_0x3BC=parportN. See /usr/share/doc/led-blink.")
include(CPack)
