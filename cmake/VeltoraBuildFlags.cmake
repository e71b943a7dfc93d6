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

if(VELTORA_SANITIZE)
    set(_san -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_compile_options(veltora_build_flags INTERFACE ${_san})
    target_link_options(veltora_build_flags INTERFACE ${_san})
endif()
