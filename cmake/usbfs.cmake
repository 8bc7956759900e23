# The virtual stick as an emulated usbfs device (umockdev), the emulator
# program that runs other programs against it, and the tests of the libusb
# backend that use it. Included by the top-level CMakeLists.txt after the
# ostrevin_core and ostrevin_sim targets exist.

if(UMOCKDEV_FOUND)
  get_filename_component(OSTREVIN_USBFS_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

  add_library(ostrevin_usbfs_sim STATIC
    ${OSTREVIN_USBFS_ROOT}/sim/usbfs_stick.cpp ${OSTREVIN_USBFS_ROOT}/sim/usbfs_stick.h)
  target_link_libraries(ostrevin_usbfs_sim PUBLIC ostrevin_sim PkgConfig::UMOCKDEV)

  add_executable(ostrevin-virtual-stick ${OSTREVIN_USBFS_ROOT}/sim/virtual_stick_main.cpp)
  target_link_libraries(ostrevin-virtual-stick PRIVATE ostrevin_usbfs_sim)

  if(OSTREVIN_TESTS)
    enable_testing()
    find_package(GTest REQUIRED)
    file(GLOB OSTREVIN_USBFS_TEST_SOURCES CONFIGURE_DEPENDS ${OSTREVIN_USBFS_ROOT}/tests/usbfs/*.cpp)
    add_executable(usbfs_tests ${OSTREVIN_USBFS_TEST_SOURCES})
    target_link_libraries(usbfs_tests PRIVATE ostrevin_usbfs_sim test_support GTest::gtest Qt6::Test)
    target_compile_definitions(usbfs_tests PRIVATE
      OSTREVIN_VIRTUAL_STICK_PROGRAM="$<TARGET_FILE:ostrevin-virtual-stick>")
    add_dependencies(usbfs_tests ostrevin-virtual-stick)

    # The tests make their own testbeds; the preload library routes /dev
    # and /sys to them. Sanitizer runtimes are linked statically, so the
    # preload library can come first.
    set(OSTREVIN_USBFS_TEST_ENV "LD_PRELOAD=libumockdev-preload.so.0")
    # This replaces TSAN_OPTIONS from outside. The emulator tests start
    # many short processes: no second of sleep at each exit.
    if(OSTREVIN_SANITIZE STREQUAL "thread")
      list(APPEND OSTREVIN_USBFS_TEST_ENV
        "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:atexit_sleep_ms=0:suppressions=${OSTREVIN_USBFS_ROOT}/tests/tsan.supp")
    endif()
    add_test(NAME usbfs_tests COMMAND usbfs_tests)
    set_tests_properties(usbfs_tests PROPERTIES
      ENVIRONMENT "${OSTREVIN_USBFS_TEST_ENV}"
      LABELS "usbfs;threaded"
      TIMEOUT 120)
  endif()
endif()
