# Addresses, prefixes, locator keys, colour/encapsulation/service names, CRC-32.
zel_library(zel_ip_util SOURCES ip_util.cc LIBS zel_log)
target_link_libraries(zel_common INTERFACE zel_ip_util)
