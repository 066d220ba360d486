# Release packages, made with CPack in a build tree:
#   cpack -G DEB   (Linux)   the two programs in bin/, the trust library in
#                            lib/sigreport/, the manual pages in
#                            share/man/man1/, the README, copyright and
#                            changelog in share/doc/sigreport/, depending on
#                            the OpenSSL runtime it links;
#   cpack -G ZIP   (Windows) sigreport.exe, sigverify.exe and the README, one zip for each
#                            architecture.
set(CPACK_PACKAGE_NAME sigreport)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "sigreport")
# The same maintainer signs packaging/changelog.
set(CPACK_PACKAGE_CONTACT "sigreport maintainers <sigreport-maintainers@sigreport.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "check the code signature of a file and write a report")
set(CPACK_PACKAGE_DESCRIPTION
    "sigreport verifies the Authenticode signature of one file as Windows does:
PE programs and libraries, cabinets, MSI packages and PowerShell scripts.
It writes a report: the file's size and SHA-1, the trust library used, and
the verdict, either the signer's key hash and CHECK SUCCESS or the status
Windows gives. sigverify gives the same verdict for many files at once, one
line or JSON object per file with the signer's names, and an exit status
for scripts.

It trusts the roots of Microsoft's Trusted Root Program, shipped as a
snapshot with the limits Windows applies to each, and any root the user
names in SSL_CERT_FILE or SSL_CERT_DIR; not the system's TLS certificate
store. There is no revocation checking.")

# Installs `source` compressed as `name` into `destination`, the way Debian
# wants documents: compressed to the maximum and without a time stamp, so
# that a rebuild gives the same bytes.
function(install_gzipped source name destination)
  set(output ${CMAKE_BINARY_DIR}/${name})
  add_custom_command(OUTPUT ${output} COMMAND gzip -9nc ${source} > ${output} DEPENDS ${source} VERBATIM)
  add_custom_target(gzip_${name} ALL DEPENDS ${output})
  install(FILES ${output} DESTINATION ${destination})
endfunction()

if(WIN32)
  install(TARGETS sigreport sigverify RUNTIME DESTINATION .)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME windows-x86_64)
  else()
    set(CPACK_SYSTEM_NAME windows-i686)
  endif()
else()
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/packaging/copyright
          DESTINATION share/doc/sigreport)
  install_gzipped(${CMAKE_SOURCE_DIR}/packaging/changelog changelog.gz share/doc/sigreport)
  install_gzipped(${CMAKE_SOURCE_DIR}/docs/sigreport.1 sigreport.1.gz share/man/man1)
  install_gzipped(${CMAKE_SOURCE_DIR}/docs/sigverify.1 sigverify.1.gz share/man/man1)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # Debug information stays in the build tree.
  set(CPACK_STRIP_FILES ON)
  # The dependencies come from the libraries the three binaries link, OpenSSL's
  # libcrypto among them; the trust library itself ships in the package.
  # cmake/debian_depends.cmake asks dpkg-shlibdeps at packaging time: CPack's
  # own way would also call ldconfig from the maintainer scripts for any
  # library under /usr/lib, the private one in lib/sigreport/ included.
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/cmake/debian_depends.cmake)
  set(CPACK_SIGREPORT_BINARIES ${CMAKE_BINARY_DIR}/bin/sigreport ${CMAKE_BINARY_DIR}/bin/sigverify
                               ${CMAKE_BINARY_DIR}/${SIGREPORT_TRUST_LIBRARY_DIR}/libwintrust.so)
  set(CPACK_SIGREPORT_PRIVATE_DIR ${CMAKE_BINARY_DIR}/${SIGREPORT_TRUST_LIBRARY_DIR})
  set(CPACK_SIGREPORT_WORK_DIR ${CMAKE_BINARY_DIR}/packaging/shlibdeps)
endif()

include(CPack)
