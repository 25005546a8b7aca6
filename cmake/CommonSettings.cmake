# One target that carries the language level, the warnings and the strict Qt defines for our own code.
add_library(morvane_settings INTERFACE)
target_compile_features(morvane_settings INTERFACE cxx_std_20)
target_compile_options(morvane_settings INTERFACE -Wall -Wextra -Werror)
target_compile_definitions(morvane_settings INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_NO_CAST_FROM_BYTEARRAY
    QT_NO_URL_CAST_FROM_STRING
    QT_NO_CONTEXTLESS_CONNECT
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_USE_QSTRINGBUILDER
    QT_NO_FOREACH)

option(MORVANE_TSAN "Build with ThreadSanitizer" OFF)
option(MORVANE_ASAN "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(MORVANE_TSAN)
    target_compile_options(morvane_settings INTERFACE -fsanitize=thread -g -O1)
    target_link_options(morvane_settings INTERFACE -fsanitize=thread)
endif()
if(MORVANE_ASAN)
    target_compile_options(morvane_settings INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer -g)
    target_link_options(morvane_settings INTERFACE -fsanitize=address,undefined)
endif()
