# Debian packages, one per program: tarviqen-server, tarviqen-client, tarviqen-admin.
# `scripts/package` runs cpack on a build folder; the packages land in build/packages/.
set(TQ_PKG_SOURCE ${PROJECT_SOURCE_DIR}/packaging)
set(TQ_PKG_BINARY ${PROJECT_BINARY_DIR}/packaging)
set(TQ_PKG_MAINTAINER "Ostrivel Tarvi*Qen developers <tarviqen@ostrivel.example>")

# Compressed documents of one package: its copyright, changelog and manual page.
function(tq_package_docs component package program)
  set(out ${TQ_PKG_BINARY}/${package})
  set(PACKAGE ${package})
  set(MAINTAINER ${TQ_PKG_MAINTAINER})
  configure_file(${TQ_PKG_SOURCE}/common/changelog.in ${out}/changelog @ONLY)
  add_custom_command(
    OUTPUT ${out}/changelog.gz ${out}/${program}.1.gz
    COMMAND gzip -9nc ${out}/changelog > ${out}/changelog.gz
    COMMAND gzip -9nc ${TQ_PKG_SOURCE}/${component}/${program}.1 > ${out}/${program}.1.gz
    DEPENDS ${out}/changelog ${TQ_PKG_SOURCE}/${component}/${program}.1
    VERBATIM)
  add_custom_target(tq_docs_${component} ALL DEPENDS ${out}/changelog.gz ${out}/${program}.1.gz)
  install(FILES ${TQ_PKG_SOURCE}/common/copyright ${out}/changelog.gz
          DESTINATION share/doc/${package} COMPONENT ${component})
  install(FILES ${out}/${program}.1.gz DESTINATION share/man/man1 COMPONENT ${component})
endfunction()

# Server: the program, its systemd unit and the maintainer scripts that create the
# service user, the default settings and the log folder.
if(TARGET TarviQenServer)
  install(TARGETS TarviQenServer RUNTIME DESTINATION bin COMPONENT server)
  install(FILES ${TQ_PKG_SOURCE}/server/TarviQenService.service
          DESTINATION /lib/systemd/system COMPONENT server)
  tq_package_docs(server tarviqen-server TarviQenServer)
endif()

# Icons drawn by the programs' own code, in the sizes of the hicolor theme.
set(TQ_ICON_SIZES 16 24 32 48 64 128 256)
set(TQ_ICON_DIR ${TQ_PKG_BINARY}/icons)
function(tq_package_icon component name)
  foreach(size ${TQ_ICON_SIZES})
    install(FILES ${TQ_ICON_DIR}/${size}x${size}/${name}.png
            DESTINATION share/icons/hicolor/${size}x${size}/apps COMPONENT ${component})
  endforeach()
endfunction()
if(TARGET tq_export_icons)
  set(icon_outputs)
  foreach(size ${TQ_ICON_SIZES})
    list(APPEND icon_outputs ${TQ_ICON_DIR}/${size}x${size}/tarviqen-client.png)
  endforeach()
  add_custom_command(
    OUTPUT ${icon_outputs}
    COMMAND tq_export_icons ${TQ_ICON_DIR} ${TQ_ICON_SIZES}
    DEPENDS tq_export_icons
    VERBATIM)
  add_custom_target(tq_package_icons ALL DEPENDS ${icon_outputs})
endif()

# Client: the program, a launcher that keeps its settings in the user's configuration
# folder, the desktop entry and icon, and the commented example settings.
if(TARGET TarviQenClient)
  install(TARGETS TarviQenClient RUNTIME DESTINATION bin COMPONENT client)
  install(PROGRAMS ${TQ_PKG_SOURCE}/client/tarviqen-client DESTINATION bin COMPONENT client)
  install(FILES ${TQ_PKG_SOURCE}/client/tarviqen-client.desktop
          DESTINATION share/applications COMPONENT client)
  install(FILES ${TQ_PKG_SOURCE}/client/TarviQenClientSettings.txt
          DESTINATION share/doc/tarviqen-client/examples COMPONENT client)
  tq_package_icon(client tarviqen-client)
  tq_package_docs(client tarviqen-client TarviQenClient)
  add_custom_command(
    OUTPUT ${TQ_PKG_BINARY}/tarviqen-client.1.gz
    COMMAND gzip -9nc ${TQ_PKG_SOURCE}/client/tarviqen-client.1 > ${TQ_PKG_BINARY}/tarviqen-client.1.gz
    DEPENDS ${TQ_PKG_SOURCE}/client/tarviqen-client.1
    VERBATIM)
  add_custom_target(tq_docs_client_launcher ALL DEPENDS ${TQ_PKG_BINARY}/tarviqen-client.1.gz)
  install(FILES ${TQ_PKG_BINARY}/tarviqen-client.1.gz DESTINATION share/man/man1 COMPONENT client)
endif()

# Admin console: the program, its desktop entry and icon (written by the program).
if(TARGET TarviAdmin)
  install(TARGETS TarviAdmin RUNTIME DESTINATION bin COMPONENT admin)
  install(FILES ${TQ_PKG_SOURCE}/admin/tarviqen-admin.desktop
          DESTINATION share/applications COMPONENT admin)
  set(admin_icons)
  foreach(size ${TQ_ICON_SIZES})
    set(icon ${TQ_ICON_DIR}/${size}x${size}/tarviqen-admin.png)
    add_custom_command(
      OUTPUT ${icon}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${TQ_ICON_DIR}/${size}x${size}
      COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
              $<TARGET_FILE:TarviAdmin> --export-icon ${size} ${icon}
      DEPENDS TarviAdmin
      VERBATIM)
    list(APPEND admin_icons ${icon})
  endforeach()
  add_custom_target(tq_package_admin_icons ALL DEPENDS ${admin_icons})
  tq_package_icon(admin tarviqen-admin)
  tq_package_docs(admin tarviqen-admin TarviAdmin)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarviqen)
set(CPACK_PACKAGE_VENDOR "Ostrivel")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${TQ_PKG_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TQ_PKG_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://ostrivel.example/tarviqen")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME tarviqen-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    "${TQ_PKG_SOURCE}/server/postinst;${TQ_PKG_SOURCE}/server/prerm;${TQ_PKG_SOURCE}/server/postrm")
file(READ ${TQ_PKG_SOURCE}/server/description TQ_SERVER_DESCRIPTION)
set(CPACK_COMPONENT_SERVER_DESCRIPTION "${TQ_SERVER_DESCRIPTION}")

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME tarviqen-client)
set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION net)
file(READ ${TQ_PKG_SOURCE}/client/description TQ_CLIENT_DESCRIPTION)
set(CPACK_COMPONENT_CLIENT_DESCRIPTION "${TQ_CLIENT_DESCRIPTION}")

set(CPACK_DEBIAN_ADMIN_PACKAGE_NAME tarviqen-admin)
set(CPACK_DEBIAN_ADMIN_PACKAGE_SECTION admin)
file(READ ${TQ_PKG_SOURCE}/admin/description TQ_ADMIN_DESCRIPTION)
set(CPACK_COMPONENT_ADMIN_DESCRIPTION "${TQ_ADMIN_DESCRIPTION}")

include(CPack)
