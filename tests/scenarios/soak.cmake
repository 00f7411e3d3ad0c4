# The test command runs a short soak, a tenth of the full run (scripts/soak):
# 100 cycles with one STOP and restart, then the check that nothing was left
# behind.
if(TARGET nolvane_soak)
  add_test(NAME soak_short COMMAND nolvane_soak 100)
  set_tests_properties(soak_short PROPERTIES TIMEOUT 300 LABELS soak)
endif()
