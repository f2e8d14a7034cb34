# What `cmake --install` puts in place, and the Debian package CPack builds from it
# (`cpack -G DEB` in the build folder, or scripts/package.sh).
#
# Everything the package carries is in the "programs" component; test programs and
# the benchmark have no install rules, and CPack packs that component alone.

include(GNUInstallDirs)

set(NUBO_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Where the udev rule goes, relative to the install prefix (udev reads /usr/lib/udev/rules.d and /usr/local/lib/udev/rules.d)")

foreach(program nubo-usb-utility nubo-devsim)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
    endif()
endforeach()

install(FILES ${CMAKE_CURRENT_LIST_DIR}/70-nubo-usb.rules DESTINATION ${NUBO_UDEV_RULES_DIR} COMPONENT programs)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/nubo-usb-utility.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT programs)
install(DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/icons/hicolor
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons COMPONENT programs)

# The headless tool and its bash completion may be defined anywhere in the tree, so
# they are looked for once the whole project has been read.
function(nubo_install_command_line_tool)
    if(TARGET nubo)
        install(TARGETS nubo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
    endif()
    file(GLOB completions
        ${CMAKE_SOURCE_DIR}/cli/*completion* ${CMAKE_SOURCE_DIR}/cli/*/*completion* ${CMAKE_SOURCE_DIR}/cli/*.bash
        ${CMAKE_SOURCE_DIR}/packaging/*completion* ${CMAKE_SOURCE_DIR}/packaging/*.bash)
    list(SORT completions)
    list(LENGTH completions count)
    if(count GREATER 0)
        list(GET completions 0 completion)
        if(EXISTS ${completion} AND NOT IS_DIRECTORY ${completion})
            install(FILES ${completion} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
                RENAME nubo COMPONENT programs)
        endif()
    endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL nubo_install_command_line_tool)

# ---------------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nubo-usb-utility)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Nubo")
set(CPACK_PACKAGE_CONTACT "Nubo USB File Utility maintainers <maintainers@users.noreply.c-seed-290ed57c.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Service utility for Nubo devices over their USB serial port")
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};programs;/")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION "Production lines and service technicians use it to identify a Nubo device,
install its firmware, read its MAC-address file and browse and manage its
flash file system. It comes with a udev rule that gives the logged-in user
the device's port and keeps ModemManager away from it, and with nubo-devsim,
a simulator that plays the device on a pseudo-terminal.")
# Libraries the programs link are found by dpkg-shlibdeps. The window system's are
# opened at run time (JUCE loads them with dlopen), so it cannot see them; JUCE also
# finds its fonts through fontconfig's configuration, which pulls in a font.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libx11-6, libxext6, libxcursor1, libxinerama1, libxrandr2, libxrender1, fontconfig-config")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
