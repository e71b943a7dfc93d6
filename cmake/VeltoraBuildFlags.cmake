# One interface target carries the warnings, Qt defines and sanitizer flags;
# every target of the project links it.
add_library(veltora_build_flags INTERFACE)
target_compile_options(veltora_build_flags INTERFACE
    -Wall -Wextra -Wnon-virtual-dtor -Woverloaded-virtual)
target_compile_definitions(veltora_build_flags INTERFACE
    QT_NO_CAST_TO_ASCII
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_USE_QSTRINGBUILDER
    QT_DEPRECATED_WARNINGS
    VELTORA_VENDOR_HOST="${VELTORA_VENDOR_HOST}")

if(VELTORA_FUZZ_BUILD)
    set(_san -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_compile_options(veltora_build_flags INTERFACE -O1 -g ${_san})
    target_link_options(veltora_build_flags INTERFACE -fsanitize=address,undefined)
elseif(VELTORA_SANITIZE)
    set(_san -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_compile_options(veltora_build_flags INTERFACE ${_san})
    target_link_options(veltora_build_flags INTERFACE ${_san})
    # A program linking our instrumented shared library needs the same runtime.
    set(VELTORA_SANITIZE_LINK_OPTIONS -fsanitize=address,undefined)
endif()

# What a bundle carries of Qt: the one list of modules and plug-in kinds. The
# programs read it from the generated BundleContents.h, the bundle's install
# rules (cmake/VeltoraBundle.cmake) from here.
set(VELTORA_BUNDLE_QT_MODULES Concurrent Core DBus Gui Network PrintSupport Widgets)
set(VELTORA_BUNDLE_PLUGIN_KINDS bearer imageformats platforms printsupport)

# veltora_bundle_rpath(<target>): the program finds its Qt libraries in the bundle's
# Contents/Frameworks, relative to its own folder, wherever the bundle (or the copy of
# a program with its frameworks) lies. Outside a bundle the system's libraries are used.
function(veltora_bundle_rpath target)
    set(_paths "")
    foreach(module ${VELTORA_BUNDLE_QT_MODULES})
        list(APPEND _paths "\$ORIGIN/../Frameworks/Qt${module}.framework/Versions/Current")
    endforeach()
    set_target_properties(${target} PROPERTIES BUILD_RPATH "${_paths}" INSTALL_RPATH "${_paths}")
    target_link_options(${target} PRIVATE "-Wl,--enable-new-dtags")
endfunction()
