# The compiler warnings every target of the project is built with: the
# libraries, the executables, the modules, the simulator, the tests and the
# benchmarks. The MinGW-w64 programs that tests/excel and bench/ compile by
# hand use the same flags (plus -Werror).
set(TALLYO_WARNING_FLAGS -Wall -Wextra -Wpedantic)

add_library(tallyo_warnings INTERFACE)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(tallyo_warnings INTERFACE ${TALLYO_WARNING_FLAGS})
endif()
# Every target made from here on links it.
link_libraries(tallyo_warnings)
