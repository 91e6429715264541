// A second source file, with its own zel_addr_str ring.
#include "common/ip_util.h"

const char *other_unit_addr_str(const zel_addr_t *addr) { return zel_addr_str(addr); }
