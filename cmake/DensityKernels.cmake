# The vector kernels of the exact fast density engine, on x86-64 only: each source is compiled for
# its own instruction set, and the engine enters one only after checking the CPU at run time, so
# the rest of the program keeps the baseline instruction set and runs on any x86-64.

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  target_sources(scalesum_core PRIVATE src/KernelDensityAvx2.cpp src/KernelDensityAvx512.cpp)
  # -ffp-contract=off is repeated here because these sources must never fuse an operation that
  # their intrinsics do not fuse explicitly.
  set_source_files_properties(src/KernelDensityAvx2.cpp PROPERTIES
    COMPILE_OPTIONS "-mavx2;-mfma;-ffp-contract=off")
  set_source_files_properties(src/KernelDensityAvx512.cpp PROPERTIES
    COMPILE_OPTIONS "-mavx512f;-mfma;-ffp-contract=off")
  set_source_files_properties(src/KernelDensityFast.cpp PROPERTIES
    COMPILE_DEFINITIONS SCALESUM_X86_KERNELS=1)
endif()
