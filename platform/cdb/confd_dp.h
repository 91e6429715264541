/* Data-provider, action and notification interface (declared in confd_lib.h,
 * as ConfD's confd_lib_dp). */
#ifndef ZEL_CONFD_DP_H
#define ZEL_CONFD_DP_H
#include "platform/cdb/confd_lib.h"
#endif
