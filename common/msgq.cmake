# Message-queue transport between the daemons of the appliance.
zel_library(zel_msgq SOURCES msgq_util.cc LIBS zel_qor_util zel_timer zel_log PkgConfig::LIBEVENT)
target_link_libraries(zel_common INTERFACE zel_msgq)
