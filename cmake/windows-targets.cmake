# SPDX-License-Identifier: MIT
# Every Windows and Windows CE target, one record each; the cross builds
# (cmake/windows.cmake), the module-definition file, the SDK's README.txt
# and the tests' expectations (a generated windows_targets.h) all read it.
# Each target also has its toolchain file, cmake/windows-<name>.cmake.
#
#   DEVICES      what it runs on, for the SDK's README.txt
#   MACHINE      the PE machine; SUBSYSTEM the Windows CE version it asks for
#   CONSTRUCTOR  the names MSVC gives the class members on this processor
#   ASSIGNMENT   (__thiscall on x86, the plain member call elsewhere)
#   ENTRY        the desktop DLL's entry point symbol
#   IMPORTS      KERNEL32.dll by name (the calls of cmake/kernel32.def) or
#                COREDLL.dll by ordinal (src/platform/ce/coredll_imports.h)
#   MSVC         clang's architecture, lld-link's and llvm-dlltool's machine
#                names, for the import libraries: the desktop targets and
#                Compact 2013's ARMNT, where LLVM writes them
#                (llvm-dlltool writes no ARMV4 or ARMV4I library)
#   UNWIND       the unwind data the image carries: none, x64, arm64, ce-arm
#                (CE's own .pdata, from the prologs) or armnt
#   RUNS         where the tests run it: a Wine loader, or the PE loader's
#                mode (arm, thumb, arm64, x86) and the emulated CPU. CE 3.0
#                code is all ARM; ARMV4I devices mix in Thumb callers and
#                Thumb system code. The i686 DLL also runs on an emulated
#                Pentium III, for machines whose 32-bit Wine cannot start.
#
# Items 6 and 7 have the same name everywhere.
set(TOLVANE_FUNCTION_NAME "?fnTolvaneGPS@@YAHXZ")
set(TOLVANE_VARIABLE_NAME "?nTolvaneGPS@@3HA")

# Appends the target to TOLVANE_WINDOWS_TARGETS and sets
# TOLVANE_WINDOWS_<name>_<FIELD> for each field.
function(tolvane_windows_target name)
  set(fields DEVICES MACHINE SUBSYSTEM CONSTRUCTOR ASSIGNMENT ENTRY IMPORTS
             UNWIND)
  cmake_parse_arguments(PARSE_ARGV 1 "" "" "${fields}" "MSVC;RUNS")
  foreach(field ${fields} MSVC RUNS)
    set(TOLVANE_WINDOWS_${name}_${field} "${_${field}}" PARENT_SCOPE)
  endforeach()
  set(TOLVANE_WINDOWS_TARGETS ${TOLVANE_WINDOWS_TARGETS} ${name} PARENT_SCOPE)
endfunction()

set(TOLVANE_WINDOWS_TARGETS)
tolvane_windows_target(x86_64
  DEVICES "desktop Windows, 64-bit programs; also x64 programs emulated on Windows on ARM"
  MACHINE 0x8664
  CONSTRUCTOR "??0CTolvaneGPS@@QEAA@XZ"
  ASSIGNMENT "??4CTolvaneGPS@@QEAAAEAV0@AEBV0@@Z"
  ENTRY DllMain IMPORTS KERNEL32.dll MSVC x86_64 x64 i386:x86-64
  UNWIND x64 RUNS wine64)
tolvane_windows_target(i686
  DEVICES "desktop Windows, 32-bit x86 programs (on 32- or 64-bit Windows)"
  MACHINE 0x14C
  CONSTRUCTOR "??0CTolvaneGPS@@QAE@XZ"
  ASSIGNMENT "??4CTolvaneGPS@@QAEAAV0@ABV0@@Z"
  ENTRY _DllMain@12 # stdcall-decorated on x86
  IMPORTS KERNEL32.dll MSVC i686 x86 i386
  UNWIND none RUNS wine x86/pentium3)
tolvane_windows_target(arm64
  DEVICES "Windows on ARM, native ARM64 programs"
  MACHINE 0xAA64
  CONSTRUCTOR "??0CTolvaneGPS@@QEAA@XZ"
  ASSIGNMENT "??4CTolvaneGPS@@QEAAAEAV0@AEBV0@@Z"
  ENTRY DllMain IMPORTS KERNEL32.dll MSVC aarch64 arm64 arm64
  UNWIND arm64 RUNS arm64/cortex-a53)
tolvane_windows_target(ce-armv4
  DEVICES "Handheld PC 2000; Pocket PC 2000, 2002 and 2003; Windows CE 3.0 to 4.x ARMV4 devices (StrongARM and XScale)"
  MACHINE 0x1C0 SUBSYSTEM 3.00
  CONSTRUCTOR "??0CTolvaneGPS@@QAA@XZ"
  ASSIGNMENT "??4CTolvaneGPS@@QAAAAV0@ABV0@@Z"
  IMPORTS COREDLL.dll
  UNWIND ce-arm RUNS arm/arm926 arm/pxa270)
tolvane_windows_target(ce-armv4i
  DEVICES "Windows CE 5.0, 6.0 and 7.0; Windows Mobile 5, 6 and 6.5"
  MACHINE 0x1C2 SUBSYSTEM 4.00
  CONSTRUCTOR "??0CTolvaneGPS@@QAA@XZ"
  ASSIGNMENT "??4CTolvaneGPS@@QAAAAV0@ABV0@@Z"
  IMPORTS COREDLL.dll
  UNWIND ce-arm RUNS thumb/arm926 thumb/pxa270)
tolvane_windows_target(ce-armv7
  DEVICES "Windows Embedded Compact 2013"
  MACHINE 0x1C4 SUBSYSTEM 8.00
  CONSTRUCTOR "??0CTolvaneGPS@@QAA@XZ"
  ASSIGNMENT "??4CTolvaneGPS@@QAAAAV0@ABV0@@Z"
  IMPORTS COREDLL.dll MSVC thumbv7 arm arm
  UNWIND armnt RUNS arm/cortex-a8)

# The table's MSVC architectures, each once and space-separated: the tests
# read the header as Visual Studio's compiler for each.
set(TOLVANE_MSVC_ARCHITECTURES)
foreach(target ${TOLVANE_WINDOWS_TARGETS})
  if(TOLVANE_WINDOWS_${target}_MSVC)
    list(GET TOLVANE_WINDOWS_${target}_MSVC 0 architecture)
    list(APPEND TOLVANE_MSVC_ARCHITECTURES ${architecture})
  endif()
endforeach()
list(REMOVE_DUPLICATES TOLVANE_MSVC_ARCHITECTURES)
list(JOIN TOLVANE_MSVC_ARCHITECTURES " " TOLVANE_MSVC_ARCHITECTURES)
