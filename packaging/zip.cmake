if(WIN32)
  # The package a Windows user takes: the program, our port library and the
  # monitor in one folder, as a zip.
  install(FILES LICENSE DESTINATION .)
  # Every line off: a lab turns on the ones its PCs need and copies the zip.
  install(FILES packaging/lpt-settings.txt DESTINATION .)
  install(FILES docs/windows-virtual-port.md DESTINATION . RENAME README-windows.md)
  # The real port's page and the wiring it links to, so that its links work.
  install(FILES docs/windows.md docs/wiring.md docs/wiring.svg DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME LED_blink)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_PACKAGE_FILE_NAME LED_blink-windows-x86)
  else()
    set(CPACK_PACKAGE_FILE_NAME LED_blink-windows-x64)
  endif()
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_STRIP_FILES ON)
  include(CPack)
endif()
