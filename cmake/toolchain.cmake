# Toolchain checks that would otherwise give a program that writes other bytes.
#
# The field renderers and parsers rely on IEEE double arithmetic rounded once
# per operation (FLT_EVAL_METHOD 0). The x87 unit of 32-bit x86 keeps 80-bit
# intermediates, which rounds some results twice and changes printed digits;
# SSE2 arithmetic does not. So a 32-bit x86 build uses SSE2, and any target
# whose arithmetic still has excess precision stops here.
include(CheckCXXSourceCompiles)

set(pdsplit_fp_flags "")
if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(i[3-6]86|x86|X86|AMD64|x86_64)$")
  set(pdsplit_fp_flags -msse2 -mfpmath=sse)
endif()

list(JOIN pdsplit_fp_flags " " CMAKE_REQUIRED_FLAGS)
check_cxx_source_compiles("
  #include <cfloat>
  #if !defined(FLT_EVAL_METHOD) || FLT_EVAL_METHOD != 0
  #error excess precision
  #endif
  int main() { return 0; }" PDSPLIT_IEEE_DOUBLE_ARITHMETIC)
unset(CMAKE_REQUIRED_FLAGS)
if(NOT PDSPLIT_IEEE_DOUBLE_ARITHMETIC)
  message(FATAL_ERROR "This target evaluates double arithmetic with excess precision "
                      "(FLT_EVAL_METHOD != 0), which would change rounded output; "
                      "use flags that give IEEE double arithmetic "
                      "(on 32-bit x86: -msse2 -mfpmath=sse, which this compiler must accept)")
endif()
add_compile_options(${pdsplit_fp_flags})

# DOSCAR files of several GB: 64-bit file offsets on 32-bit systems too (no
# effect where they are 64-bit already).
add_compile_definitions(_FILE_OFFSET_BITS=64)
