# Project-wide warnings. CI turns them into errors (QELVAR_WERROR).
add_library(qelvar_warnings INTERFACE)
target_compile_options(qelvar_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
  -Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual -Wimplicit-fallthrough)
if(QELVAR_WERROR)
  target_compile_options(qelvar_warnings INTERFACE -Werror)
endif()

# Every project library and program links this and the sanitizer flags.
function(qelvar_target_defaults target)
  target_link_libraries(${target} PRIVATE qelvar_warnings)
endfunction()
