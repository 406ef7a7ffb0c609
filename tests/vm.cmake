# The ALSA sequencer and a USB MIDI device, which CI machines lack, in a QEMU guest running Debian's own
# kernel (scripts/vm/guest.sh): each test boots its own guest, on an emulated processor. Skipped (77)
# where qemu, busybox-static or Debian's kernel package cannot be had.
set(UPDATE_VM_RUN ${CMAKE_CURRENT_LIST_DIR}/vm/run-in-guest.sh)

function(update_vm_test name)
  cmake_parse_arguments(PARSE_ARGV 1 VM "" "" "GUEST;COMMAND")
  add_test(NAME ${name} COMMAND bash ${UPDATE_VM_RUN} ${VM_GUEST} --timeout 280 -- ${VM_COMMAND})
  set_tests_properties(${name} PROPERTIES
    LABELS "vm;slow"
    SKIP_RETURN_CODE 77
    TIMEOUT 300
    # A guest keeps both cores of a 2-core machine busy: one at a time.
    RESOURCE_LOCK vm
    PROCESSORS 2)
endfunction()

update_vm_test(vm_alsa_ports
  GUEST --usb-gadget --virmidi 2
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/vm/alsa_ports.sh)

if(TARGET update AND TARGET zentravox-target)
  set(UPDATE_VM_PROGRAMS $<TARGET_FILE:update> $<TARGET_FILE:zentravox-target> ${CMAKE_SOURCE_DIR}/scripts/make-image.py)
  update_vm_test(vm_update_alsa
    GUEST --virmidi 1
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/vm/update_alsa.sh ${UPDATE_VM_PROGRAMS})
  update_vm_test(vm_update_usb
    GUEST --usb-gadget --virmidi 0
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/vm/update_usb.sh ${UPDATE_VM_PROGRAMS})
  update_vm_test(vm_update_virmidi
    GUEST --virmidi 3
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/vm/update_virmidi.sh ${UPDATE_VM_PROGRAMS})
  update_vm_test(vm_usb_faults
    GUEST --usb-gadget --virmidi 0
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/vm/usb_faults.sh ${UPDATE_VM_PROGRAMS})
  update_vm_test(vm_usb_unplugged
    GUEST --usb-gadget --virmidi 0
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/vm/usb_unplugged.sh ${UPDATE_VM_PROGRAMS})
  # update.exe under wine's own winmm in the guest, with the prefix the wine tests make on the host.
  if(DEFINED WINE_TEST_STATE)
    update_vm_test(vm_wine_update
      GUEST --usb-gadget --virmidi 0
      COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/vm/wine_update.sh $<TARGET_FILE:zentravox-target>
              ${CMAKE_SOURCE_DIR}/scripts/make-image.py ${UPDATE_WINDOWS_BUILD_DIR} ${UPDATE_WINDOWS_X86_64_BUILD_DIR}
              ${WINE_TEST_STATE}/prefix)
    set_tests_properties(vm_wine_update PROPERTIES FIXTURES_REQUIRED wine RESOURCE_LOCK "vm;wine_prefix")
  endif()
endif()
