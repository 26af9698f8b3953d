# Strict warnings for the project's own targets: call zelk_warnings(target).
function(zelk_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
endfunction()
