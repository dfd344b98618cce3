# Applied to everything in the tree, GoogleTest excepted (it comes prebuilt).
if(QELVAR_SANITIZE STREQUAL "address;undefined")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(QELVAR_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT QELVAR_SANITIZE STREQUAL "")
  message(FATAL_ERROR "Unknown QELVAR_SANITIZE value '${QELVAR_SANITIZE}'")
endif()

# The fuzz build instruments everything its targets link, for coverage and
# for the address and undefined-behaviour checks.
if(QELVAR_BUILD_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
