# CMake generated Testfile for 
# Source directory: /work/wt12
# Build directory: /work/wt12/build-old
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
include("/work/wt12/build-old/unit_tests[1]_include.cmake")
include("/work/wt12/build-old/e2e_tests[1]_include.cmake")
include("/work/wt12/build-old/e2e_tests[2]_include.cmake")
