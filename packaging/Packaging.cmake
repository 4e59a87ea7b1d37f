# Manual pages, the AppStream description, the packages' own documents, and the two Debian
# packages (`cpack -G DEB` in a build tree; scripts/package.sh builds them with the distribution's
# hardening flags and checks them):
#   rexmoor      the command line, the preview's helper programs and the language files
#   rexmoor-gui  the desktop program, its menu entry, icon, description and user guide
set(REXMOOR_PACKAGING ${CMAKE_SOURCE_DIR}/packaging)
set(REXMOOR_PACKAGED ${CMAKE_BINARY_DIR}/packaged)

# Manual pages and changelogs go in compressed the Debian way: best compression, no name or time
# in the gzip header, so that the same source gives the same package.
find_program(REXMOOR_GZIP gzip REQUIRED)
set(REXMOOR_COMPRESSED)
foreach(page rexmoor.1 rexmoor-gui.1 changelog)
  add_custom_command(OUTPUT ${REXMOOR_PACKAGED}/${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${REXMOOR_PACKAGED}
    COMMAND ${REXMOOR_GZIP} -9nc ${REXMOOR_PACKAGING}/${page} > ${REXMOOR_PACKAGED}/${page}.gz
    DEPENDS ${REXMOOR_PACKAGING}/${page} VERBATIM)
  list(APPEND REXMOOR_COMPRESSED ${REXMOOR_PACKAGED}/${page}.gz)
endforeach()
add_custom_target(rexmoor_packaged ALL DEPENDS ${REXMOOR_COMPRESSED})

install(FILES ${REXMOOR_PACKAGED}/rexmoor.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT cli)
install(FILES ${REXMOOR_PACKAGED}/rexmoor-gui.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT gui)
install(FILES ${REXMOOR_PACKAGING}/org.rexmoor.Rexmoor.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
        COMPONENT gui)
foreach(component cli gui)
  if(component STREQUAL "cli")
    set(package rexmoor)
  else()
    set(package rexmoor-gui)
  endif()
  install(FILES ${REXMOOR_PACKAGING}/copyright ${REXMOOR_PACKAGED}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/rexmoor COMPONENT cli)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME rexmoor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Rexmoor developers")
set(CPACK_PACKAGE_CONTACT "The Rexmoor developers <maintainers@users.noreply.c-seed-17d1ce75.example>")
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL cli gui)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_CLI_PACKAGE_NAME rexmoor)
# Loaded by name when first needed, so dpkg-shlibdeps cannot see them; the sonames are those of
# src/preview/archive_library.h, src/platform/digest_library.h, src/platform/udisks_open.cpp and
# src/device/container_source.cpp.
set(CPACK_DEBIAN_CLI_PACKAGE_DEPENDS
    "libarchive13 (>= 3.6.2), libssl3, libsystemd0, libewf2, libvhdi1, libvmdk1, libqcow1")
set(CPACK_DEBIAN_GUI_PACKAGE_NAME rexmoor-gui)
set(CPACK_DEBIAN_GUI_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS "rexmoor (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_CLI_DESCRIPTION "recover deleted and lost files from drives and disk images
Rexmoor reads a drive, a partition or a disk image sector by sector, strictly
read-only, and finds the files that can still be saved: files deleted by
mistake, files lost to a quick format, and files stranded when a file system
broke.
.
A quick scan lists the deleted files of FAT12/16/32, exFAT and NTFS volumes
with their names, folders, sizes and times. A deep scan sweeps the free
sectors, rebuilds the folders of formatted volumes and finds files by their
content; it can be stopped and continued. A failing drive can first be copied
into an image file.
.
This package holds the rexmoor command line.")
set(CPACK_COMPONENT_GUI_DESCRIPTION "recover deleted and lost files - desktop program
Rexmoor reads a drive, a partition or a disk image sector by sector, strictly
read-only, and finds the files that can still be saved: files deleted by
mistake, files lost to a quick format, and files stranded when a file system
broke.
.
This package holds rexmoor-gui, the desktop program: it lists the drives,
scans the one picked, shows the found files by type or by folder with a
preview, and writes the chosen ones into a folder the user picks.")
include(CPack)
