# The installed bundle, laid out by
#   cmake --install <build> --component bundle --prefix DEST.app
# Contents/MacOS      update, finisher, hdiutil
# Contents/Resources  qt.conf
# Contents/Frameworks Qt<Module>.framework/Versions/5/libQt5<Module>.so.5, Versions/Current -> 5
# Contents/PlugIns    the plug-in kinds of VELTORA_BUNDLE_PLUGIN_KINDS
# The programs find the frameworks through their $ORIGIN-relative run path (veltora_bundle_rpath)
# and the plug-ins through qt.conf. These rules stay out of a plain `cmake --install`, which
# installs the library and the release tool under a system prefix.
find_package(Qt5 5.15 REQUIRED COMPONENTS ${VELTORA_BUNDLE_QT_MODULES})

set(_bundle COMPONENT bundle EXCLUDE_FROM_ALL)

install(TARGETS update finisher RUNTIME DESTINATION Contents/MacOS ${_bundle})
install(PROGRAMS ${PROJECT_SOURCE_DIR}/platform/hdiutil DESTINATION Contents/MacOS ${_bundle})

file(WRITE ${PROJECT_BINARY_DIR}/bundle/qt.conf.in "[Paths]\nPlugins = PlugIns\n")
configure_file(${PROJECT_BINARY_DIR}/bundle/qt.conf.in ${PROJECT_BINARY_DIR}/bundle/qt.conf COPYONLY)
install(FILES ${PROJECT_BINARY_DIR}/bundle/qt.conf DESTINATION Contents/Resources ${_bundle})

foreach(module ${VELTORA_BUNDLE_QT_MODULES})
    set(_framework Contents/Frameworks/Qt${module}.framework)
    set(_library libQt5${module}.so.5)
    # TARGET_FILE is the versioned file itself, so the copy is never a link into the system.
    install(FILES $<TARGET_FILE:Qt5::${module}> DESTINATION ${_framework}/Versions/5 RENAME ${_library} ${_bundle})
    install(CODE "
        set(_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${_framework}\")
        file(CREATE_LINK 5 \"\${_dir}/Versions/Current\" SYMBOLIC)
        file(CREATE_LINK Versions/Current/${_library} \"\${_dir}/${_library}\" SYMBOLIC)
        " ${_bundle})
endforeach()

get_target_property(_qmake Qt5::qmake IMPORTED_LOCATION)
execute_process(COMMAND ${_qmake} -query QT_INSTALL_PLUGINS
    OUTPUT_VARIABLE _plugins OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
foreach(kind ${VELTORA_BUNDLE_PLUGIN_KINDS})
    # The folder exists even when this system has no plug-in of the kind.
    install(DIRECTORY DESTINATION Contents/PlugIns/${kind} ${_bundle})
    file(GLOB _files LIST_DIRECTORIES false "${_plugins}/${kind}/*.so")
    foreach(file ${_files})
        get_filename_component(_name ${file} NAME)
        file(REAL_PATH ${file} _real)
        install(FILES ${_real} DESTINATION Contents/PlugIns/${kind} RENAME ${_name} ${_bundle})
    endforeach()
endforeach()
