# Installation and Debian packages.
#
#   cmake --install build --prefix DIR     bin/frequency-tallyo and the demo, the
#       Calc module under lib/frequency-tallyo/ (the program looks for it there,
#       beside its own real path, wherever DIR is), the desktop entry, icons,
#       AppStream metainfo and man pages.
#   scripts/package.sh                     frequency-tallyo and frequency-tallyo-calc
#       Debian packages through CPack.
include(GNUInstallDirs)

set(TALLYO_APP_ID org.frequencytallyo.FrequencyTallyo)
set(TALLYO_RELEASE_DATE 2026-12-07)
set(TALLYO_HOMEPAGE "https://frequencytallyo.org" CACHE STRING
    "The project's home page; the metainfo's screenshot is window.png there")
set(TALLYO_MAINTAINER "Frequency Tallyo developers <maintainers@frequencytallyo.org>" CACHE STRING
    "Maintainer named in the Debian packages")
# Fixed, not GNUInstallDirs' multiarch libdir: the program finds its module
# from its own place as ../lib/frequency-tallyo.
set(TALLYO_MODULE_INSTALL_DIR lib/frequency-tallyo)

set(TALLYO_PACKAGING_SOURCE ${CMAKE_CURRENT_LIST_DIR}/../packaging)
set(TALLYO_PACKAGING_BINARY ${CMAKE_BINARY_DIR}/packaging)

# ---- Program, demo, module --------------------------------------------------
install(TARGETS frequency-tallyo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
if(TARGET frequency-tallyo-demo)
  install(TARGETS frequency-tallyo-demo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
endif()
if(TARGET tallyo-calc)
  install(TARGETS tallyo-calc LIBRARY DESTINATION ${TALLYO_MODULE_INSTALL_DIR} COMPONENT calc)
endif()

# ---- Desktop entry, icons, metainfo, man pages, Debian docs -----------------
if(UNIX AND NOT APPLE)
  configure_file(${TALLYO_PACKAGING_SOURCE}/${TALLYO_APP_ID}.metainfo.xml.in
                 ${TALLYO_PACKAGING_BINARY}/${TALLYO_APP_ID}.metainfo.xml @ONLY)
  configure_file(${TALLYO_PACKAGING_SOURCE}/changelog.in ${TALLYO_PACKAGING_BINARY}/changelog @ONLY)

  # Man pages and the changelog go in gzipped, as Debian wants them
  # (-n: no name or time inside, so the packages build the same twice).
  find_program(TALLYO_GZIP gzip REQUIRED)
  set(TALLYO_DATA_FILES)
  configure_file(${TALLYO_PACKAGING_SOURCE}/frequency-tallyo-demo.1.in
                 ${TALLYO_PACKAGING_BINARY}/frequency-tallyo-demo.1 @ONLY)
  # The program's page names the module's path, which only the installation
  # knows (/usr/lib/... in the packages, DIR/lib/... for --prefix DIR): that
  # one is filled in when installing.
  set(TALLYO_MODULE_PATH "@TALLYO_MODULE_PATH@")
  configure_file(${TALLYO_PACKAGING_SOURCE}/frequency-tallyo.1.in
                 ${TALLYO_PACKAGING_BINARY}/frequency-tallyo.1.in @ONLY)
  unset(TALLYO_MODULE_PATH)
  foreach(file frequency-tallyo-demo.1 changelog)
    add_custom_command(OUTPUT ${TALLYO_PACKAGING_BINARY}/${file}.gz
      COMMAND ${TALLYO_GZIP} -9nc ${file} > ${file}.gz
      WORKING_DIRECTORY ${TALLYO_PACKAGING_BINARY}
      DEPENDS ${TALLYO_PACKAGING_BINARY}/${file}
      VERBATIM)
    list(APPEND TALLYO_DATA_FILES ${TALLYO_PACKAGING_BINARY}/${file}.gz)
  endforeach()

  # PNG icons drawn from the SVG (package librsvg2-bin).
  set(TALLYO_ICON_SIZES 16 24 32 48 64 128 256)
  find_program(TALLYO_RSVG_CONVERT rsvg-convert)
  if(TALLYO_RSVG_CONVERT)
    foreach(size ${TALLYO_ICON_SIZES})
      set(png ${TALLYO_PACKAGING_BINARY}/icons/${size}x${size}/${TALLYO_APP_ID}.png)
      add_custom_command(OUTPUT ${png}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${TALLYO_PACKAGING_BINARY}/icons/${size}x${size}
        COMMAND ${TALLYO_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${TALLYO_PACKAGING_SOURCE}/${TALLYO_APP_ID}.svg
        DEPENDS ${TALLYO_PACKAGING_SOURCE}/${TALLYO_APP_ID}.svg
        VERBATIM)
      list(APPEND TALLYO_DATA_FILES ${png})
      install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps COMPONENT program)
    endforeach()
  else()
    message(STATUS "rsvg-convert not found (package librsvg2-bin): only the SVG icon is installed")
  endif()
  add_custom_target(tallyo_packaging_data ALL DEPENDS ${TALLYO_DATA_FILES})

  install(FILES ${TALLYO_PACKAGING_SOURCE}/${TALLYO_APP_ID}.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT program)
  install(FILES ${TALLYO_PACKAGING_SOURCE}/${TALLYO_APP_ID}.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT program)
  install(FILES ${TALLYO_PACKAGING_BINARY}/${TALLYO_APP_ID}.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT program)
  install(FILES ${TALLYO_PACKAGING_BINARY}/frequency-tallyo-demo.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
  # Written and gzipped in place, so that installs running at once (the
  # packages and a test's prefix) share no file in the build tree.
  install(CODE "
    set(TALLYO_MODULE_PATH \"\${CMAKE_INSTALL_PREFIX}/${TALLYO_MODULE_INSTALL_DIR}/libtallyo-calc.so\")
    string(REPLACE \"-\" \"\\\\-\" TALLYO_MODULE_PATH \"\${TALLYO_MODULE_PATH}\")
    set(page \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_MANDIR}/man1/frequency-tallyo.1\")
    message(STATUS \"Installing: \$ENV{DESTDIR}\${page}.gz\")
    configure_file(\"${TALLYO_PACKAGING_BINARY}/frequency-tallyo.1.in\" \"\$ENV{DESTDIR}\${page}\" @ONLY)
    execute_process(COMMAND \"${TALLYO_GZIP}\" -9nf \"\$ENV{DESTDIR}\${page}\" COMMAND_ERROR_IS_FATAL ANY)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${page}.gz\")
  " COMPONENT program)
  if(TARGET tallyo-calc)
    # Only for the Debian package: an install that names no component
    # (cmake --install --prefix DIR) leaves it out.
    install(FILES ${TALLYO_PACKAGING_SOURCE}/frequency-tallyo-calc.lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME frequency-tallyo-calc
            COMPONENT calc EXCLUDE_FROM_ALL)
  endif()
  foreach(component program calc)
    set(package frequency-tallyo)
    if(component STREQUAL "calc")
      set(package frequency-tallyo-calc)
    endif()
    install(FILES ${TALLYO_PACKAGING_SOURCE}/copyright ${TALLYO_PACKAGING_BINARY}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  endforeach()
endif()

# ---- Debian packages ----------------------------------------------------------
set(CPACK_PACKAGE_NAME frequency-tallyo)
set(CPACK_PACKAGE_VENDOR "The Frequency Tallyo developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_HOMEPAGE_URL ${TALLYO_HOMEPAGE})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL program)
if(TARGET tallyo-calc)
  list(APPEND CPACK_COMPONENTS_ALL calc)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TALLYO_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME frequency-tallyo)
# Qt's X11/Wayland platform plugins and the fonts the fixed layout is drawn for.
set(CPACK_DEBIAN_PROGRAM_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-liberation2, fonts-dejavu-core")
set(CPACK_DEBIAN_PROGRAM_PACKAGE_RECOMMENDS frequency-tallyo-calc)
set(CPACK_COMPONENT_PROGRAM_DESCRIPTION
"control panel for a bench frequency counter on a serial line
Frequency Tallyo drives a frequency counter on an RS-232 line: pick the port
and the counter model, set the function, gate time, hold and remote mode,
fetch readings, and record them into a spreadsheet.
.
frequency-tallyo-demo shows the same window with simulated counters.")
set(CPACK_DEBIAN_CALC_PACKAGE_NAME frequency-tallyo-calc)
set(CPACK_DEBIAN_CALC_PACKAGE_DEPENDS "frequency-tallyo (= ${PROJECT_VERSION}), libreoffice-calc")
# Its libraries' packages are added by cmake/CPackCalcDepends.cmake.
set(CPACK_DEBIAN_CALC_PACKAGE_SHLIBDEPS OFF)
if(TARGET tallyo-calc)
  get_target_property(tallyo_module_dir tallyo-calc LIBRARY_OUTPUT_DIRECTORY)
  set(CPACK_TALLYO_CALC_MODULE ${tallyo_module_dir}/${CMAKE_SHARED_MODULE_PREFIX}tallyo-calc${CMAKE_SHARED_MODULE_SUFFIX})
  set(CPACK_TALLYO_SHLIBDEPS_DIR ${CMAKE_BINARY_DIR}/packaging/shlibdeps)
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/CPackCalcDepends.cmake)
endif()
set(CPACK_COMPONENT_CALC_DESCRIPTION
"LibreOffice Calc recording for Frequency Tallyo
The module through which Frequency Tallyo records counter readings into a
LibreOffice Calc workbook, one reading per row.")
include(CPack)

# ---- Tests --------------------------------------------------------------------
if(TALLYO_BUILD_TESTS AND UNIX AND TARGET counter-sim)
  add_test(NAME installed_program
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/../tests/install/check-installed.sh
                   ${CMAKE_BINARY_DIR} $<TARGET_FILE:counter-sim>)
  set_tests_properties(installed_program PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77)
  add_test(NAME debian_packages
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/package.sh --from ${CMAKE_BINARY_DIR})
  set_tests_properties(debian_packages PROPERTIES TIMEOUT 600 SKIP_RETURN_CODE 77)
endif()
