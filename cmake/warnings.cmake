# cmake/warnings.cmake: one place for the warning flags every target builds with (warnings are errors)
function(tarvel_strict_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                           -Wno-sign-conversion -Werror)
endfunction()
