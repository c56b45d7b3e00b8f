# Warnings stay private to our own targets: vellumo_warnings(<target>).
function(vellumo_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
endfunction()
