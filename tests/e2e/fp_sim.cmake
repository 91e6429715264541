# The forwarding plane stand-in, which every test that starts zeld runs first.
target_sources(zel_e2e PRIVATE fp_sim_harness.cc)
add_dependencies(zel_e2e fp-sim)
