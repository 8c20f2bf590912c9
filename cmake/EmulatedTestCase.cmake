# A GoogleTest program run as the program of korvid-emulated-controller,
# under an emulator of its own with the settings the case needs:
#   korvid_emulated_test(NAME PROGRAM FILTER [OPTIONS emulator options...] [UNPRIVILEGED])
# UNPRIVILEGED runs the program as nobody; only root can do that (CI runs as
# root), so elsewhere the case is skipped.
find_program(KORVID_UMOCKDEV_WRAPPER umockdev-wrapper REQUIRED)

function(korvid_emulated_test name program filter)
  cmake_parse_arguments(CASE "UNPRIVILEGED" "" "OPTIONS" ${ARGN})
  set(emulator ${KORVID_UMOCKDEV_WRAPPER} $<TARGET_FILE:korvid-emulated-controller> ${CASE_OPTIONS}
               --control ${CMAKE_CURRENT_BINARY_DIR}/${name}.control)
  set(run $<TARGET_FILE:${program}> --gtest_filter=${filter})
  set(command ${emulator} -- ${run})
  if(CASE_UNPRIVILEGED)
    set(command sh -c "test \"$(id -u)\" = 0 || exit 77 && exec \"$@\"" sh
        ${emulator} -- setpriv --reuid=65534 --regid=65534 --clear-groups ${run})
  endif()
  # Sanitized programs come after umockdev's preload library in the load
  # order; ASan accepts that only when told.
  set(environment "")
  if(KORVID_SANITIZE)
    set(environment "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1")
  endif()
  add_test(NAME ${name} COMMAND ${command})
  set_tests_properties(${name} PROPERTIES TIMEOUT 60 SKIP_RETURN_CODE 77 ENVIRONMENT "${environment}")
endfunction()
