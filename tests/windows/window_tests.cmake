# The Win32 window under Wine and Xvfb, driven from outside by a small Win32 program; the
# updater runs its own simulated device (--simulate) or none.
add_executable(window_driver ${CMAKE_CURRENT_LIST_DIR}/window_driver.cpp)
target_link_libraries(window_driver PRIVATE user32 gdi32)
add_test(NAME windows_window_test
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/window_test.sh $<TARGET_FILE:tarvel-updater>
          $<TARGET_FILE:window_driver> none)
set_tests_properties(windows_window_test PROPERTIES LABELS "window;wine" TIMEOUT 180)
# A whole update and a whole recovery through the window: 2 to 4 minutes each under Wine on
# this machine, too long for CI; `ctest --preset windows -L window` runs them.
add_test(NAME windows_window_update_test
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/window_test.sh $<TARGET_FILE:tarvel-updater>
          $<TARGET_FILE:window_driver> update rom)
set_tests_properties(windows_window_update_test PROPERTIES LABELS "long;window;wine" TIMEOUT 900)

# The installer, installed, run and uninstalled in a fresh prefix (built by windows_installer).
if(TARGET windows_installer)
  add_test(NAME windows_installer_test
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/installer_test.sh ${TARVEL_SETUP} ${PROJECT_VERSION})
  set_tests_properties(windows_installer_test PROPERTIES LABELS "installer;wine" TIMEOUT 300)
endif()
