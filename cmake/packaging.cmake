# Release packages, made with CPack in a build tree:
#   cpack -G DEB   (Linux)   the program in bin/, the trust library in
#                            lib/sigreport/, the README in share/doc/sigreport/,
#                            depending on the OpenSSL runtime it links;
#   cpack -G ZIP   (Windows) sigreport.exe and the README, one zip for each
#                            architecture.
set(CPACK_PACKAGE_NAME sigreport)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "sigreport")
set(CPACK_PACKAGE_CONTACT "sigreport maintainers <sigreport@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Checks the code signature of one file and writes a report beside itself")

if(WIN32)
  install(TARGETS sigreport RUNTIME DESTINATION .)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME windows-x86_64)
  else()
    set(CPACK_SYSTEM_NAME windows-i686)
  endif()
else()
  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION share/doc/sigreport)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # The dependencies come from the libraries the two binaries link, OpenSSL's
  # libcrypto among them; the trust library itself ships in the package.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/${SIGREPORT_TRUST_LIBRARY_DIR})
endif()

include(CPack)
