# The explain command against a first match over generated rules and fp-sim's run of the same packets.
zel_gtest(e2e_test_explain SOURCES test_explain_e2e.cc LIBS zel_e2e_standins)
