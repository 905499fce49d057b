if(WIN32)
  # The package a Windows user takes: the program, our port library and the
  # monitor in one folder, as a zip.
  # The licence; the settings, every line off: a lab turns on the ones its
  # PCs need and copies the zip; the page for trying it without a port as
  # its README; the real port's page and the wiring it links to.
  include(packaging/zip_text.cmake)
  set(zip_stage ${CMAKE_BINARY_DIR}/zip-text)
  set(zip_pages windows-virtual-port.md=README-windows.md windows.md=windows.md
    wiring.md=wiring.md)
  lpt_zip_text(${PROJECT_SOURCE_DIR}/LICENSE LICENSE)
  lpt_zip_text(${PROJECT_SOURCE_DIR}/packaging/lpt-settings.txt lpt-settings.txt)
  foreach(page IN LISTS zip_pages)
    string(REPLACE "=" ";" names ${page})
    list(GET names 0 source)
    list(GET names 1 shipped)
    lpt_zip_text(${PROJECT_SOURCE_DIR}/docs/${source} ${shipped})
  endforeach()
  install(FILES ${zip_stage}/LICENSE ${zip_stage}/lpt-settings.txt ${zip_stage}/README-windows.md
    ${zip_stage}/windows.md ${zip_stage}/wiring.md docs/wiring.svg DESTINATION .)
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
