# Install rules and the Debian package. Linux only: the Windows build ships
# as a zip of its own.
if(WIN32)
    return()
endif()

include(GNUInstallDirs)

# The HID library is private to the program, so it stays out of the shared
# library path: the program's RUNPATH ($ORIGIN/../lib/quivertap) finds it, and
# no other package can collide with its plain file name.
set(QUIVERTAP_PRIVATE_LIBDIR lib/quivertap)
set(QUIVERTAP_UDEV_RULES_DIR lib/udev/rules.d)

install(TARGETS quivertap RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The doctor shares the program's RUNPATH and so the library beside it.
if(TARGET quivertap-doctor)
    install(TARGETS quivertap-doctor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(TARGETS tiny_hid_dll LIBRARY DESTINATION ${QUIVERTAP_PRIVATE_LIBDIR})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/70-quivertap.rules
        DESTINATION ${QUIVERTAP_UDEV_RULES_DIR})
# Debian looks for a package's licence in /usr/share/doc/<package>/copyright.
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)

# Debian wants manual pages and changelogs compressed, reproducibly (no name
# or time stamp).
function(quivertap_gzip source output)
    add_custom_command(
        OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
        COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${source} ${output}
        DEPENDS ${source}
        VERBATIM)
endfunction()

set(QUIVERTAP_MAN_PAGES ${CMAKE_BINARY_DIR}/packaging/quivertap.1.gz)
quivertap_gzip(${CMAKE_SOURCE_DIR}/packaging/quivertap.1 ${QUIVERTAP_MAN_PAGES})
if(TARGET quivertap-doctor)
    quivertap_gzip(${CMAKE_SOURCE_DIR}/packaging/quivertap-doctor.1
                   ${CMAKE_BINARY_DIR}/packaging/quivertap-doctor.1.gz)
    list(APPEND QUIVERTAP_MAN_PAGES ${CMAKE_BINARY_DIR}/packaging/quivertap-doctor.1.gz)
endif()
install(FILES ${QUIVERTAP_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The version carries no Debian revision: the package is made here, from the
# project's own tree, so it is a native package, whose changelog Debian looks
# for as changelog.gz (changelog.Debian.gz is for a package of someone
# else's release).
set(QUIVERTAP_CHANGELOG ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
quivertap_gzip(${CMAKE_SOURCE_DIR}/packaging/debian/changelog ${QUIVERTAP_CHANGELOG})
install(FILES ${QUIVERTAP_CHANGELOG} DESTINATION ${CMAKE_INSTALL_DOCDIR})

add_custom_target(quivertap_compressed_docs ALL DEPENDS ${QUIVERTAP_MAN_PAGES} ${QUIVERTAP_CHANGELOG})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quivertap)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "drive the rumble motor of a Wii Remote at four power levels")
# One paragraph, wrapped the way dpkg shows it.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Quivertap switches the rumble motor of a Wii Remote (RVL-CNT-01) on and\n"
    "off from the controller's own buttons: A on and off, + and - for four\n"
    "power levels, Home to quit. It talks to the controller through the\n"
    "kernel's hidraw device, over Bluetooth or USB, and installs a udev rule\n"
    "that lets the user logged in at the machine open it. Pair the controller\n"
    "after its red SYNC button, not by holding 1 and 2, and connect it at\n"
    "once; quivertap(1) gives the steps.")
if(TARGET quivertap-doctor)
    string(APPEND CPACK_PACKAGE_DESCRIPTION "\n"
        "quivertap-doctor checks the way from pairing to rumble step by step\n"
        "and tells whether Quivertap will find and use a controller, with the\n"
        "fix for the first check that fails.")
endif()
set(QUIVERTAP_MAINTAINER "Quivertap maintainers <maintainers@quivertap.invalid>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT ${QUIVERTAP_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The maintainer scripts re-apply the rule to a controller already connected.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
    ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
