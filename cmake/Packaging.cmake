# What `cmake --install` puts in place besides the programs (their install
# rules are beside their targets): manual pages, copyright files and
# changelogs, shell completion, the CMake package config; and the Debian
# packages that cpack makes of it all. Included by the top-level
# CMakeLists.txt once every target is defined. Every install rule names its
# component, which is its Debian package: runtime (ostrel-installer: the
# programs and what documents and completes them) or dev
# (ostrel-installer-dev: the client library, its header and the package
# config), each with its own copyright file and changelog.
include(CMakePackageConfigHelpers)

# ostrel_compress(SOURCE OUTPUT): OUTPUT, in the build tree, is SOURCE
# compressed as Debian installs manual pages and changelogs (gzip -9n: no
# name or time stored, so the same source gives the same bytes), made by the
# target ostrel_compressed, which every build builds.
find_program(OSTREL_GZIP gzip REQUIRED)
set(OSTREL_COMPRESSED)
function(ostrel_compress source output)
    get_filename_component(dir "${output}" DIRECTORY)
    add_custom_command(OUTPUT "${output}"
        COMMAND "${CMAKE_COMMAND}" -E make_directory "${dir}"
        COMMAND "${OSTREL_GZIP}" -9 -n -c "${source}" > "${output}"
        DEPENDS "${source}" VERBATIM)
    set(OSTREL_COMPRESSED ${OSTREL_COMPRESSED} "${output}" PARENT_SCOPE)
endfunction()

# Manual pages (man reads them compressed or not).
foreach(page IN ITEMS ostrel-installer.1 ostrel-monitor.1)
    ostrel_compress("${PROJECT_SOURCE_DIR}/doc/man/${page}" "${PROJECT_BINARY_DIR}/man/${page}.gz")
    install(FILES "${PROJECT_BINARY_DIR}/man/${page}.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT runtime)
endforeach()

# Each package's copyright file and changelog, in its /usr/share/doc
# directory. The changelog's newest entry is the version being built: a new
# version needs its entry, and the build says so.
set(changelog "${PROJECT_SOURCE_DIR}/doc/debian/changelog")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${changelog}")
file(READ "${changelog}" changelog_start LIMIT 200)
string(REGEX MATCH "^[^\n]*" newest_entry "${changelog_start}")
if(NOT newest_entry MATCHES "^ostrel-installer \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "doc/debian/changelog begins with \"${newest_entry}\": "
                        "give version ${PROJECT_VERSION} an entry at its top")
endif()
ostrel_compress("${changelog}" "${PROJECT_BINARY_DIR}/debian/changelog.gz")
foreach(component_package IN ITEMS "runtime;ostrel-installer" "dev;ostrel-installer-dev")
    list(GET component_package 0 component)
    list(GET component_package 1 package)
    install(FILES "${PROJECT_SOURCE_DIR}/doc/debian/copyright" "${PROJECT_BINARY_DIR}/debian/changelog.gz"
            DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}" COMPONENT ${component})
endforeach()

# Bash completion, where bash-completion looks for it on demand.
install(FILES completion/ostrel-installer completion/ostrel-monitor
        DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions" COMPONENT runtime)

add_custom_target(ostrel_compressed ALL DEPENDS ${OSTREL_COMPRESSED})

# The package config. Imported targets go in the export set
# OstrelInstallerTargets, under the namespace OstrelInstaller::: the client
# library (src/client/CMakeLists.txt installs it into the set) is
# OstrelInstaller::Client. Every library it links must be exported too or be
# an imported target; it links only Qt. A build without the client (none
# today) leaves the set empty, and an empty set cannot be installed.
set(config_dir "${CMAKE_INSTALL_LIBDIR}/cmake/OstrelInstaller")
if(TARGET ostrel_client)
    set_target_properties(ostrel_client PROPERTIES EXPORT_NAME Client)
    install(EXPORT OstrelInstallerTargets NAMESPACE OstrelInstaller:: DESTINATION "${config_dir}" COMPONENT dev)
    set(OSTREL_EXPORTS_TARGETS ON)
else()
    set(OSTREL_EXPORTS_TARGETS OFF)
endif()
configure_package_config_file(cmake/OstrelInstallerConfig.cmake.in
    "${PROJECT_BINARY_DIR}/OstrelInstallerConfig.cmake"
    INSTALL_DESTINATION "${config_dir}"
    PATH_VARS CMAKE_INSTALL_BINDIR)
write_basic_package_version_file("${PROJECT_BINARY_DIR}/OstrelInstallerConfigVersion.cmake"
    COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/OstrelInstallerConfig.cmake"
              "${PROJECT_BINARY_DIR}/OstrelInstallerConfigVersion.cmake"
        DESTINATION "${config_dir}" COMPONENT dev)

# `cpack -G DEB` in the build tree: a package per component. The runtime's
# dependencies are found by dpkg-shlibdeps from the libraries the programs
# link; the -dev package holds no program, and its exported target links Qt
# Core and Network, whose CMake packages are in qt6-base-dev.
set(OSTREL_DEB_MAINTAINER "ostrel-installer maintainers <maintainers@users.noreply.c-seed-149db56b.example>"
    CACHE STRING "Maintainer field of the Debian packages")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ostrel-installer)
set(CPACK_PACKAGE_VENDOR "ostrel-installer maintainers")
set(CPACK_PACKAGE_CONTACT "${OSTREL_DEB_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
# Each description's first line is its package's summary; dpkg shows the
# other lines as they are.
string(JOIN "\n" CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "installs a new version of an application for its updater"
    "ostrel-installer copies a package directory into an application's"
    "directory file by file, never leaving a partial file, optionally"
    "replacing the old version in one step, and reports its progress to the"
    "application's updater over a local socket. ostrel-monitor stands in for"
    "the updater: it starts the installer and shows the progress.")
string(JOIN "\n" CPACK_DEBIAN_DEV_DESCRIPTION
    "client library for updaters that run ostrel-installer"
    "A static Qt 6 library with which an application's updater starts"
    "ostrel-installer, follows its progress over a private local socket and"
    "learns how the install ended, from the event loop without blocking it."
    "With its CMake package: find_package(OstrelInstaller) gives the imported"
    "target OstrelInstaller::Client.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${OSTREL_DEB_MAINTAINER}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ostrel-installer)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME ostrel-installer-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "ostrel-installer (= ${PROJECT_VERSION}), qt6-base-dev")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
