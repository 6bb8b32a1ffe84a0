# Cross-compiles the driver layers for UEFI on x86-64: clang emits COFF objects
# for the Windows x64 ABI, and lld-link (called by cmake/UefiImage.cmake)
# links them into PE32+ images without any default library.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET x86_64-unknown-windows)
set(CMAKE_CXX_COMPILER_TARGET x86_64-unknown-windows)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(FTPM_UEFI ON CACHE BOOL "Build UEFI images" FORCE)
