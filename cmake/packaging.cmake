# `cmake --install` puts the tool in bin/ and its manual page in share/man/man1/; on Windows the
# program and a README sit side by side. CPack makes a Debian package from a Linux build and a ZIP
# archive from the Windows cross-build:
#   cpack --preset release     build/release/chklist_VERSION_ARCH.deb
#   cpack --preset windows     build/windows/chklist-VERSION-windows-x86_64.zip
include(GNUInstallDirs)
set(CPACK_PACKAGE_NAME chklist)
set(CPACK_PACKAGE_VENDOR "chklist developers")
set(CPACK_PACKAGE_CONTACT "chklist developers <chklist@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "clean blacklist and whitelist files of malformed entries")
set(CPACK_PACKAGE_DESCRIPTION
    "chklist finds every blacklist.txt and whitelist.txt below the current directory and
rewrites each so that only entries of at least 7 bytes holding an @ remain. Every
dropped entry is recorded in chklist.log; a list file is replaced, in one step, only
when all of that succeeded.")
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)
if(WIN32)
  install(TARGETS chklist RUNTIME DESTINATION .)
  # Windows line ends, so that any editor shows it as it is meant.
  configure_file(packaging/windows-readme.txt README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME chklist-${PROJECT_VERSION}-windows-x86_64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  install(TARGETS chklist RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES docs/chklist.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The dependencies are read off the binary when dpkg-shlibdeps is there to do it.
  find_program(CHKLIST_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(CHKLIST_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
  endif()
endif()
include(CPack)
