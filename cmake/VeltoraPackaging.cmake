# Debian packages of what others install from us (`make package`, or cpack in a build):
#   veltora-release  the release tool and its manual page (component release-tool)
#   libvisage        libVisage and the camera library it loads (component visage)
#   libvisage-dev    headers, CMake package, pkg-config file (component visage-dev)
# The bundle is laid out by its own install component and never packaged.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME veltora)
set(CPACK_PACKAGE_VENDOR "Veltora")
set(CPACK_PACKAGE_CONTACT "Veltora maintainers <packages@${VELTORA_VENDOR_HOST}>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL release-tool visage visage-dev)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_RELEASE-TOOL_PACKAGE_NAME veltora-release)
set(CPACK_DEBIAN_RELEASE-TOOL_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_RELEASE-TOOL_DESCRIPTION "Release tool for Veltora updates
 Builds the update packets and the signed update manifest of a Veltora release and
 checks them with the updater's own reader, extraction and patcher.")

set(CPACK_DEBIAN_VISAGE_PACKAGE_NAME libvisage)
set(CPACK_DEBIAN_VISAGE_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_VISAGE_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_COMPONENT_VISAGE_DESCRIPTION "Avatar editor widget for Qt 5 applications
 A dialog to pick a picture from a file or a camera, crop it under a circular mask
 and hand a 120 x 120 avatar to the application.")

set(CPACK_DEBIAN_VISAGE-DEV_PACKAGE_NAME libvisage-dev)
set(CPACK_DEBIAN_VISAGE-DEV_PACKAGE_SECTION libdevel)
# The CMake package and the pkg-config file name Qt's own development files.
set(CPACK_DEBIAN_VISAGE-DEV_PACKAGE_DEPENDS "qtbase5-dev")
set(CPACK_COMPONENT_VISAGE-DEV_DEPENDS visage)
set(CPACK_COMPONENT_VISAGE-DEV_DESCRIPTION "Avatar editor widget for Qt 5 applications (development files)
 Headers, the CMake package (find_package(Visage), target Visage::Visage) and the
 pkg-config file (visage) of libVisage.")

include(CPack)
