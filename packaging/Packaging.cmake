# What `cmake --install` puts in place, and the Debian package CPack builds from it
# (`cpack -G DEB` in the build folder, or scripts/package.sh).
#
# Everything the package carries is in the "programs" component; test programs and
# the benchmark have no install rules, and CPack packs that component alone.

include(GNUInstallDirs)

set(NUBO_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

set(NUBO_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Where the udev rule goes, relative to the install prefix (udev reads /usr/lib/udev/rules.d and /usr/local/lib/udev/rules.d)")

foreach(program nubo-usb-utility nubo-devsim)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
    endif()
endforeach()

install(FILES ${CMAKE_CURRENT_LIST_DIR}/70-nubo-usb.rules DESTINATION ${NUBO_UDEV_RULES_DIR} COMPONENT programs)
# A production station as a systemd service (nubo station), one instance per station.
set(NUBO_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING "Where the systemd unit goes, relative to the install prefix")
install(FILES ${CMAKE_CURRENT_LIST_DIR}/nubo-station@.service DESTINATION ${NUBO_SYSTEMD_UNIT_DIR} COMPONENT programs)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/nubo-usb-utility.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT programs)
install(DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/icons/hicolor
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons COMPONENT programs)

# Debian's documentation of the package: its copyright file as it stands, its
# changelog compressed as Debian's policy asks (gzip -9n: no name, no time stamp, so
# the same source gives the same package).
set(NUBO_PACKAGE_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/nubo-usb-utility)
set(NUBO_DOCUMENTATION_DIR ${CMAKE_BINARY_DIR}/man)
find_program(NUBO_GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${NUBO_DOCUMENTATION_DIR}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${NUBO_DOCUMENTATION_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_LIST_DIR}/debian/changelog ${NUBO_DOCUMENTATION_DIR}/changelog
    COMMAND ${NUBO_GZIP} -9nf ${NUBO_DOCUMENTATION_DIR}/changelog
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/debian/changelog
    VERBATIM)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${NUBO_DOCUMENTATION_DIR}/changelog.gz
    DESTINATION ${NUBO_PACKAGE_DOC_DIR} COMPONENT programs)
set(NUBO_MANUAL_PAGES ${NUBO_DOCUMENTATION_DIR}/changelog.gz)

# Manual pages. The window program needs a display even for --help, so its page is
# written by hand; those of nubo and nubo-devsim are made from their own --help with
# help2man, so that they say what the programs do. The package needs them all
# (scripts/package.sh sets NUBO_REQUIRE_MANUAL_PAGES); a build without help2man
# only goes without the generated pages.
option(NUBO_REQUIRE_MANUAL_PAGES "Stop when help2man, which makes the manual pages, is missing" OFF)
find_program(NUBO_HELP2MAN help2man)
if(NOT NUBO_HELP2MAN AND NUBO_REQUIRE_MANUAL_PAGES)
    message(FATAL_ERROR "help2man is needed for the manual pages (Debian package help2man)")
elseif(NOT NUBO_HELP2MAN)
    message(STATUS "help2man not found: no manual pages for nubo and nubo-devsim")
endif()

# The pages' date is the date of the changelog's latest entry, not the day of the build.
find_program(NUBO_DPKG_PARSECHANGELOG dpkg-parsechangelog)
set(NUBO_MANUAL_DATE)
if(NUBO_DPKG_PARSECHANGELOG)
    execute_process(COMMAND ${NUBO_DPKG_PARSECHANGELOG} -l ${CMAKE_CURRENT_LIST_DIR}/debian/changelog -S Timestamp
        OUTPUT_VARIABLE NUBO_MANUAL_DATE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
set(NUBO_HELP2MAN_ENV)
if(NUBO_MANUAL_DATE MATCHES "^[0-9]+$")
    set(NUBO_HELP2MAN_ENV SOURCE_DATE_EPOCH=${NUBO_MANUAL_DATE})
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/debian/changelog)

function(nubo_manual_page program)
    set(page ${NUBO_DOCUMENTATION_DIR}/${program}.1)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)
    set(NUBO_MANUAL_PAGES ${NUBO_MANUAL_PAGES} ${page}.gz PARENT_SCOPE)
    set(page ${page} PARENT_SCOPE)
endfunction()

if(TARGET nubo-usb-utility)
    nubo_manual_page(nubo-usb-utility)
    add_custom_command(OUTPUT ${page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${NUBO_DOCUMENTATION_DIR}
        COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_LIST_DIR}/nubo-usb-utility.1 ${page}
        COMMAND ${NUBO_GZIP} -9nf ${page}
        DEPENDS ${CMAKE_CURRENT_LIST_DIR}/nubo-usb-utility.1
        VERBATIM)
endif()
if(TARGET nubo-devsim AND NUBO_HELP2MAN)
    nubo_manual_page(nubo-devsim)
    add_custom_command(OUTPUT ${page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${NUBO_DOCUMENTATION_DIR}
        COMMAND ${CMAKE_COMMAND} -E env ${NUBO_HELP2MAN_ENV} ${NUBO_HELP2MAN} --no-info
            "--name=plays a Nubo device on a pseudo-terminal, for tests and demonstrations"
            "--version-string=nubo-devsim ${PROJECT_VERSION}" --output=${page} $<TARGET_FILE:nubo-devsim>
        COMMAND ${NUBO_GZIP} -9nf ${page}
        DEPENDS nubo-devsim
        VERBATIM)
endif()

# The headless tool and its bash completion may be defined anywhere in the tree, so
# they are looked for once the whole project has been read.
function(nubo_install_command_line_tool)
    if(TARGET nubo)
        install(TARGETS nubo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
        if(NUBO_HELP2MAN)
            # Its commands' arguments and options, from the program's help too.
            nubo_manual_page(nubo)
            add_custom_command(OUTPUT ${page}.gz
                COMMAND ${CMAKE_COMMAND} -E make_directory ${NUBO_DOCUMENTATION_DIR}
                COMMAND ${CMAKE_COMMAND} -DNUBO=$<TARGET_FILE:nubo> -DOUTPUT=${NUBO_DOCUMENTATION_DIR}/nubo-commands.h2m
                    -P ${NUBO_PACKAGING_DIR}/nubo-commands.cmake
                COMMAND ${CMAKE_COMMAND} -E env ${NUBO_HELP2MAN_ENV} ${NUBO_HELP2MAN} --no-info
                    "--name=the Nubo USB File Utility on the command line"
                    --include=${NUBO_DOCUMENTATION_DIR}/nubo-commands.h2m --output=${page} $<TARGET_FILE:nubo>
                COMMAND ${NUBO_GZIP} -9nf ${page}
                DEPENDS nubo ${NUBO_PACKAGING_DIR}/nubo-commands.cmake
                VERBATIM)
        endif()
    endif()
    add_custom_target(nubo_documentation ALL DEPENDS ${NUBO_MANUAL_PAGES})
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
# libx11-6 is not among them: the window program links libX11 itself (it looks for a
# display before JUCE starts), so dpkg-shlibdeps names it already.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libxext6, libxcursor1, libxinerama1, libxrandr2, libxrender1, fontconfig-config")
# nubo mount needs fusermount3 to mount as a user and to be unmounted.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fuse3")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
