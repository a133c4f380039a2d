# The Win32 window under Wine and Xvfb, driven from outside by a small Win32 program; the
# updater runs its own simulated device (--simulate) or none.
add_executable(window_driver ${CMAKE_CURRENT_LIST_DIR}/window_driver.cpp)
target_link_libraries(window_driver PRIVATE user32 gdi32)
add_test(NAME windows_window_test
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/window_test.sh $<TARGET_FILE:tarvel-updater>
          $<TARGET_FILE:window_driver> none)
set_tests_properties(windows_window_test PROPERTIES LABELS "window;wine" TIMEOUT 180)
# A whole update and a whole ROM recovery through the window, each a test of its own so that
# they run side by side (about 70 s and 110 s under Wine on this machine).
add_test(NAME windows_window_update_test
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/window_test.sh $<TARGET_FILE:tarvel-updater>
          $<TARGET_FILE:window_driver> update)
set_tests_properties(windows_window_update_test PROPERTIES LABELS "window;wine" TIMEOUT 600 COST 110)
add_test(NAME windows_window_rom_test
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/window_test.sh $<TARGET_FILE:tarvel-updater>
          $<TARGET_FILE:window_driver> rom)
set_tests_properties(windows_window_rom_test PROPERTIES LABELS "window;wine" TIMEOUT 600 COST 150)

# The installer, installed, run and uninstalled in a fresh prefix (built by windows_installer).
if(TARGET windows_installer)
  add_test(NAME windows_installer_test
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/installer_test.sh ${TARVEL_SETUP} ${PROJECT_VERSION})
  set_tests_properties(windows_installer_test PROPERTIES LABELS "installer;wine" TIMEOUT 300)
endif()
