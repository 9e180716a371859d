# Read by cpack before it packs. The Calc package's module lives in a private
# folder (lib/frequency-tallyo), which the dynamic linker never searches: the
# package must not run ldconfig. CPack adds ldconfig calls to any package with
# a shared object under /usr/lib that it looks up dependencies for, so it does
# not look them up for this package; dpkg-shlibdeps does here, as CPack would.
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_TALLYO_CALC_MODULE)
  set(work "${CPACK_TALLYO_SHLIBDEPS_DIR}")
  # dpkg-shlibdeps reads debian/control from where it runs.
  file(MAKE_DIRECTORY "${work}/debian")
  file(WRITE "${work}/debian/control" "")
  execute_process(COMMAND dpkg-shlibdeps -O "${CPACK_TALLYO_CALC_MODULE}"
                  WORKING_DIRECTORY "${work}"
                  OUTPUT_VARIABLE found
                  ERROR_VARIABLE problem
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT found MATCHES "shlibs:Depends=([^\n]+)")
    message(FATAL_ERROR "dpkg-shlibdeps on ${CPACK_TALLYO_CALC_MODULE}: ${problem}")
  endif()
  set(CPACK_DEBIAN_CALC_PACKAGE_DEPENDS "${CPACK_DEBIAN_CALC_PACKAGE_DEPENDS}, ${CMAKE_MATCH_1}")
endif()
