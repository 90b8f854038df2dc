# The appliance's own target: 32-bit x86 Linux. Built on an x86-64 Debian
# with the host compiler in -m32 mode against Debian's multiarch i386
# libraries (dpkg --add-architecture i386; scripts/setup installs them).
# The kernel runs i386 programs natively, so the tests run as they are:
# CMake is not told this is a cross build.
#
#   cmake -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i386-linux-gnu.cmake

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# 64-bit time_t and file offsets (glibc 2.34 and later): schedules, log
# names and the log key keep working after January 2038 and on files over
# 2 GiB. Debian 12's i386 libraries keep a 32-bit time_t, so no time_t (nor
# a type holding one) may cross the interface of a library the project
# calls; none does.
set(ZOR_TIME64_FLAGS "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_C_FLAGS_INIT "-m32 ${ZOR_TIME64_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "-m32 ${ZOR_TIME64_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

# Libraries, headers and CMake packages of the i386 architecture only: the
# x86-64 ones beside them would link but not load.
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/cmake /lib/x86_64-linux-gnu
    /usr/include/x86_64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(PKG_CONFIG_EXECUTABLE pkg-config)
