# What `cmake --install` puts where, and the Debian packages CPack builds from it
# (scripts/package):
#   lib/tarvo-zq/bin      every program: the daemons, the process manager, the tools
#   bin/                  links to the operator's commands among them
#   share/man             the manual pages, compressed
#   share/tarvo-zq        the shipped data (field and application registrations, the
#                         integration's configuration and MIB modules); zqsetup and
#                         trvmib2conf run from lib/tarvo-zq/bin find it there
#   share/doc/tarvo-zq    both READMEs, copyright, changelog
#   /etc/tarvo-zq         zqspmd.conf, the settings of the systemd unit (a conffile)
# The simulated network agentsim goes into a package of its own, tarvo-zq-sim.
include(GNUInstallDirs)

set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME main)
set(ZQ_INSTALL_BINDIR lib/tarvo-zq/bin)
# What an operator types: on PATH.  The daemons (trvdis, trvtrapd, trvmap, trapd,
# netmon, zqw, zqspmd) stay in lib/tarvo-zq/bin, where zqsetup's conf/zqsuf, zqstart
# and the systemd unit name them.
set(ZQ_OPERATOR_COMMANDS
  zqsetup zqstart zqstop zqstatus zqtopo zqevents zqcheck zqreg snmpnotify
  trvconfchk trvtrapchk trvval2strchk velmsvmtwk trvchkagnt trvchksnmp trvdelfld trvrixen
  trvversion trvrequest trvexplain trvmib2conf)
set(ZQ_DAEMONS trvdis trvtrapd trvmap trapd netmon zqw_program zqspmd)
set(ZQ_INSTALL_PROGRAMS ${ZQ_OPERATOR_COMMANDS} ${ZQ_DAEMONS} agentsim)
foreach(p ${ZQ_OPERATOR_COMMANDS} ${ZQ_DAEMONS})
  if(TARGET ${p})
    install(TARGETS ${p} RUNTIME DESTINATION ${ZQ_INSTALL_BINDIR})
  endif()
endforeach()
# The links are made in the build tree and installed as links (relative, so that
# they hold below any prefix and in a scratch root).
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/install-links)
foreach(p ${ZQ_OPERATOR_COMMANDS})
  file(CREATE_LINK ../${ZQ_INSTALL_BINDIR}/${p} ${CMAKE_BINARY_DIR}/install-links/${p} SYMBOLIC)
  install(FILES ${CMAKE_BINARY_DIR}/install-links/${p} DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()
install(TARGETS agentsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sim)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/zq/sim/networks DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvo-zq-sim
        COMPONENT sim FILES_MATCHING PATTERN "*.json")

# The manual pages, written from their sources man/pages/*.md and the README
# sections those name, as they are at build time; man-gz/ holds them compressed
# for installing.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
file(GLOB _zq_page_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/man/pages/*.md)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/stamp
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/manpages --out ${CMAKE_BINARY_DIR}/man
          --gzip ${CMAKE_BINARY_DIR}/man-gz
  COMMAND ${CMAKE_COMMAND} -E touch ${CMAKE_BINARY_DIR}/man/stamp
  DEPENDS ${CMAKE_SOURCE_DIR}/scripts/manpages ${_zq_page_sources} ${CMAKE_SOURCE_DIR}/README.md
          ${CMAKE_SOURCE_DIR}/zq/README.md
  COMMENT "Writing the manual pages from man/pages and the README")
add_custom_target(manpages ALL DEPENDS ${CMAKE_BINARY_DIR}/man/stamp)
install(DIRECTORY ${CMAKE_BINARY_DIR}/man-gz/man1 ${CMAKE_BINARY_DIR}/man-gz/man8
        DESTINATION ${CMAKE_INSTALL_MANDIR} PATTERN "agentsim.1.gz" EXCLUDE)
install(FILES ${CMAKE_BINARY_DIR}/man-gz/man1/agentsim.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT sim)

set(ZQ_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/tarvo-zq)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/conf/ DESTINATION ${ZQ_INSTALL_DATADIR}/conf
        PATTERN "zqspmd.service" EXCLUDE)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/zq/fields ${CMAKE_SOURCE_DIR}/zq/registration ${CMAKE_SOURCE_DIR}/zq/conf
        DESTINATION ${ZQ_INSTALL_DATADIR}/zq)

# Documentation: each README under its own name, the copyright file, the
# changelog compressed as Debian keeps it.
set(_zq_doc ${CMAKE_BINARY_DIR}/doc)
file(MAKE_DIRECTORY ${_zq_doc})
configure_file(${CMAKE_SOURCE_DIR}/zq/README.md ${_zq_doc}/README.zq.md COPYONLY)
add_custom_command(OUTPUT ${_zq_doc}/changelog.gz
  COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/packaging/changelog > ${_zq_doc}/changelog.gz
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog)
add_custom_target(package_docs ALL DEPENDS ${_zq_doc}/changelog.gz)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${_zq_doc}/README.zq.md ${CMAKE_SOURCE_DIR}/docs/vendor-mib.md
              ${CMAKE_SOURCE_DIR}/packaging/copyright ${_zq_doc}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tarvo-zq)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${_zq_doc}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tarvo-zq-sim COMPONENT sim)

# The systemd unit of the instance's process manager and its settings.
install(FILES ${CMAKE_SOURCE_DIR}/conf/zqspmd.service DESTINATION lib/systemd/system)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/zqspmd.conf DESTINATION /etc/tarvo-zq)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvo-zq)
set(CPACK_PACKAGE_VERSION 3.3.0)
set(CPACK_PACKAGE_CONTACT "Tarvo integration team <tarvo-zq@example.com>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL main sim)
set(CPACK_DEBIAN_MAIN_PACKAGE_NAME tarvo-zq)
set(CPACK_DEBIAN_SIM_PACKAGE_NAME tarvo-zq-sim)
set(CPACK_DEBIAN_MAIN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION net)
# The first line is the summary; CPack indents the others.
set(CPACK_COMPONENT_MAIN_DESCRIPTION "Tarvo integration for the zq network-management platform
Finds the nodes of a network that run the Tarvo vendor's SNMP agents and
classifies them, keeps their health on the platform's map, and turns the
vendor's enterprise traps into readable events.  Holds the integration's
daemons and tools and the zq platform they run on (trap daemon, process
manager, topology database, web map); zqspmd.service runs one instance.")
set(CPACK_COMPONENT_SIM_DESCRIPTION "simulated network of SNMP agents for trying tarvo-zq
agentsim answers SNMP requests and sends traps for every node of a network
file, all on loopback addresses, so that the integration can be tried and
tested without real agents.  Sample networks in /usr/share/tarvo-zq-sim.")
set(CPACK_DEBIAN_MAIN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The programs go without their debugging information: a fifth of the size.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
