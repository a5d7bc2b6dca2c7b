# Toolchain checks that would otherwise give a program that writes other bytes.
#
# The field renderers and parsers rely on IEEE double arithmetic rounded once
# per operation. The x87 unit of 32-bit x86 keeps 80-bit intermediates, which
# rounds some results twice and changes printed digits; SSE2 arithmetic does
# not. So a 32-bit x86 build uses SSE2, or stops here if the compiler cannot.
include(CheckCXXSourceCompiles)

if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(i[3-6]86|x86|X86|AMD64|x86_64)$")
  set(CMAKE_REQUIRED_FLAGS "-msse2 -mfpmath=sse")
  check_cxx_source_compiles("
    #if !defined(__SSE2_MATH__)
    #error no SSE2 arithmetic
    #endif
    int main() { return 0; }" PDSPLIT_HAVE_SSE2_MATH)
  unset(CMAKE_REQUIRED_FLAGS)
  if(NOT PDSPLIT_HAVE_SSE2_MATH)
    message(FATAL_ERROR "32-bit x86 needs SSE2 floating-point arithmetic (-msse2 -mfpmath=sse) "
                        "for exactly rounded output, and this compiler does not accept it")
  endif()
  set(pdsplit_fp_flags "-msse2 -mfpmath=sse")
  add_compile_options(-msse2 -mfpmath=sse)
endif()

# Any other target whose double arithmetic is not IEEE double precision
# (FLT_EVAL_METHOD other than 0) is refused for the same reason.
set(CMAKE_REQUIRED_FLAGS "${pdsplit_fp_flags}")
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
                      "use flags that give IEEE double arithmetic (on 32-bit x86: -msse2 -mfpmath=sse)")
endif()

# DOSCAR files of several GB: 64-bit file offsets on 32-bit systems too (no
# effect where they are 64-bit already).
add_compile_definitions(_FILE_OFFSET_BITS=64)
