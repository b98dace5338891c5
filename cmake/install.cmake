# What `cmake --install` puts where, and the Debian package CPack builds from it
# (scripts/package): every program in bin/, the manual pages, and the shipped
# data files (field registrations, application registrations, the integration's
# configuration and MIB modules) in share/tarvo-zq, which a package build names
# as ZQ_DATA_DIR so that its zqsetup and trvmib2conf look there.
include(GNUInstallDirs)

set(ZQ_INSTALL_PROGRAMS
  trvdis trvtrapd trvmap trvconfchk trvtrapchk trvval2strchk velmsvmtwk trvchkagnt trvchksnmp
  trvdelfld trvrixen trvversion trvrequest trvexplain trvmib2conf
  zqsetup trapd zqevents snmpnotify agentsim zqtopo zqw_program zqspmd zqstart zqstop zqstatus
  netmon zqreg zqcheck)
foreach(p ${ZQ_INSTALL_PROGRAMS})
  if(TARGET ${p})
    install(TARGETS ${p} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# The manual pages, written from the README sections as they are at build time
# (man/ in the tree holds the same pages as last written by scripts/manpages).
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/stamp
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/manpages --out ${CMAKE_BINARY_DIR}/man
  COMMAND ${CMAKE_COMMAND} -E touch ${CMAKE_BINARY_DIR}/man/stamp
  DEPENDS ${CMAKE_SOURCE_DIR}/scripts/manpages ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/zq/README.md
  COMMENT "Writing the manual pages from the README")
add_custom_target(manpages ALL DEPENDS ${CMAKE_BINARY_DIR}/man/stamp)
install(DIRECTORY ${CMAKE_BINARY_DIR}/man/man1 ${CMAKE_BINARY_DIR}/man/man8
        DESTINATION ${CMAKE_INSTALL_MANDIR})
# scripts/package sets ZQ_DATA_DIR to this folder below the prefix.
set(ZQ_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/tarvo-zq)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/conf/ DESTINATION ${ZQ_INSTALL_DATADIR}/conf)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/zq/fields ${CMAKE_SOURCE_DIR}/zq/registration ${CMAKE_SOURCE_DIR}/zq/conf
        DESTINATION ${ZQ_INSTALL_DATADIR}/zq)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/zq/README.md ${CMAKE_SOURCE_DIR}/docs/vendor-mib.md
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tarvo-zq)
# The systemd unit of one instance's process manager.
install(FILES ${CMAKE_SOURCE_DIR}/conf/zqspmd.service DESTINATION lib/systemd/system)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvo-zq)
set(CPACK_PACKAGE_VERSION 3.3.0)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Tarvo integration for the zq network-management platform")
set(CPACK_PACKAGE_CONTACT "Tarvo integration team <tarvo@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs go without their debugging information: a fifth of the size.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
