# Vector density kernels: each source is compiled for its own instruction set and is only
# entered after a run-time check of the CPU.
target_sources(scalesum_core PRIVATE src/KernelDensityFast.cpp)
