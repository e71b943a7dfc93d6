# veltora_add_catalogue(<target> <ts template>)
# Substitutes the vendor host into the .ts source, compiles it with lrelease and
# embeds the result in <target> as ":/en_ch.qm".
get_target_property(_veltora_qmake Qt5::qmake IMPORTED_LOCATION)
get_filename_component(_veltora_qt_bin "${_veltora_qmake}" DIRECTORY)
find_program(VELTORA_LRELEASE NAMES lrelease lrelease-qt5 HINTS "${_veltora_qt_bin}" REQUIRED)
find_program(VELTORA_RCC NAMES rcc rcc-qt5 HINTS "${_veltora_qt_bin}" REQUIRED)

function(veltora_add_catalogue target ts_template)
    get_filename_component(_name "${ts_template}" NAME_WE)
    set(_dir "${CMAKE_CURRENT_BINARY_DIR}/catalogue_${target}")
    set(_ts "${_dir}/${_name}.ts")
    set(_qm "${_dir}/en_ch.qm")
    set(_qrc "${_dir}/catalogue.qrc")
    set(_cpp "${_dir}/qrc_catalogue.cpp")
    set(VENDOR_HOST "${VELTORA_VENDOR_HOST}")
    configure_file("${ts_template}" "${_ts}" @ONLY)
    file(WRITE "${_qrc}.in" "<RCC><qresource prefix=\"/\"><file>en_ch.qm</file></qresource></RCC>\n")
    configure_file("${_qrc}.in" "${_qrc}" COPYONLY)
    add_custom_command(OUTPUT "${_qm}"
        COMMAND "${VELTORA_LRELEASE}" -silent "${_ts}" -qm "${_qm}"
        DEPENDS "${_ts}"
        COMMENT "Compiling catalogue ${_name}")
    # Named per target so that a test can embed one catalogue beside another object.
    add_custom_command(OUTPUT "${_cpp}"
        COMMAND "${VELTORA_RCC}" -name "catalogue_${target}" "${_qrc}" -o "${_cpp}"
        WORKING_DIRECTORY "${_dir}"
        DEPENDS "${_qm}" "${_qrc}")
    set_source_files_properties("${_cpp}" PROPERTIES SKIP_AUTOMOC ON SKIP_AUTOUIC ON GENERATED ON)
    target_sources(${target} PRIVATE "${_cpp}")
endfunction()
