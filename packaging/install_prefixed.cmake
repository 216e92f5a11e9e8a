# Runs at install time, when the prefix is known (`cmake --install --prefix
# DIR`, or CPack's /usr): the unit, the X session and its wrapper name the
# programs where this install puts them, and a sample goes to /etc/velk only
# where that file is not yet, so an edited configuration survives a
# reinstall. Set before it is included: VELK_TEMPLATES_DIR, VELK_CONFIGURED_DIR,
# VELK_BINDIR and VELK_LIBEXECDIR (relative to the prefix, or absolute; made
# absolute here), and VELK_SAMPLES (the sample files).

foreach(dir VELK_BINDIR VELK_LIBEXECDIR)
    if(NOT IS_ABSOLUTE "${${dir}}")
        set(${dir} "${CMAKE_INSTALL_PREFIX}/${${dir}}")
    endif()
endforeach()
set(VELK_KIOSK "${VELK_BINDIR}/velk_kiosk")
set(VELK_SESSION_WRAPPER "${VELK_LIBEXECDIR}/velk/velk-kiosk-session")

foreach(name velk-proxy@.service velk-kiosk.desktop velk-kiosk-session)
    configure_file("${VELK_TEMPLATES_DIR}/${name}.in" "${VELK_CONFIGURED_DIR}/${name}" @ONLY)
endforeach()
# Where systemd and the display managers look, whatever the prefix.
file(INSTALL "${VELK_CONFIGURED_DIR}/velk-proxy@.service" DESTINATION /lib/systemd/system)
file(INSTALL "${VELK_CONFIGURED_DIR}/velk-kiosk.desktop" DESTINATION /usr/share/xsessions)
file(INSTALL "${VELK_CONFIGURED_DIR}/velk-kiosk-session" DESTINATION "${VELK_LIBEXECDIR}/velk"
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

foreach(sample ${VELK_SAMPLES})
    get_filename_component(name "${sample}" NAME)
    if(EXISTS "$ENV{DESTDIR}/etc/velk/${name}")
        message(STATUS "Kept: $ENV{DESTDIR}/etc/velk/${name} (the sample is among the examples)")
    else()
        file(INSTALL "${sample}" DESTINATION /etc/velk
            FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    endif()
endforeach()
