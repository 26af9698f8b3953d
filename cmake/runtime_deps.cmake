# zelk_runtime_deps(target dep...): build the programs and libraries that `target` starts or
# loads at run time (found beside it in bin/) whenever `target` is built. Missing ones are
# skipped, so a partial configuration still works.
function(zelk_runtime_deps target)
  foreach(dep ${ARGN})
    if(TARGET ${dep})
      add_dependencies(${target} ${dep})
    endif()
  endforeach()
endfunction()
