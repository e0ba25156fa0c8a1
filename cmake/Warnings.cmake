# Every target of ours gets the same warning set through this interface library.
add_library(noctave_warnings INTERFACE)
target_compile_options(noctave_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wnon-virtual-dtor -Woverloaded-virtual -Wold-style-cast)
if(NOCTAVE_WERROR)
  target_compile_options(noctave_warnings INTERFACE -Werror)
endif()
