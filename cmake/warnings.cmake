# cmake/warnings.cmake: one place for the warning flags every target builds with, per compiler.
# Warnings become errors only with -DTARVEL_WERROR=ON, as the test command builds: a user's
# build never fails because a newer compiler or Python header warns about something new.
option(TARVEL_WERROR "Treat compiler warnings as errors" OFF)

function(tarvel_strict_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /permissive- $<$<BOOL:${TARVEL_WERROR}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                             -Wno-sign-conversion
                                             $<$<BOOL:${TARVEL_WERROR}>:-Werror>)
  endif()
endfunction()
