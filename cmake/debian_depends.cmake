# Included by cpack once per generator. For the .deb, the Depends field from
# dpkg-shlibdeps over the built program and trust library (see
# packaging.cmake for why CPack's own computation is not used).
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

# dpkg-shlibdeps runs in a directory that looks like a source package.
file(MAKE_DIRECTORY ${CPACK_SIGREPORT_WORK_DIR}/debian)
file(WRITE ${CPACK_SIGREPORT_WORK_DIR}/debian/control "")
execute_process(
  COMMAND dpkg-shlibdeps -l${CPACK_SIGREPORT_PRIVATE_DIR} --ignore-missing-info -O ${CPACK_SIGREPORT_BINARIES}
  WORKING_DIRECTORY ${CPACK_SIGREPORT_WORK_DIR}
  OUTPUT_VARIABLE shlibdeps_output
  ERROR_VARIABLE shlibdeps_error
  RESULT_VARIABLE shlibdeps_result
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT shlibdeps_result EQUAL 0 OR NOT shlibdeps_output MATCHES "^shlibs:Depends=(.+)$")
  message(FATAL_ERROR "dpkg-shlibdeps failed (${shlibdeps_result}): ${shlibdeps_error}")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
