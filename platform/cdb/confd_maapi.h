/* MAAPI part of the client library: the management connection a daemon uses to
 * attach to transactions and to write to an operator's CLI session. */
#ifndef ZEL_CONFD_MAAPI_H
#define ZEL_CONFD_MAAPI_H

#include "platform/cdb/confd_lib.h"

#ifdef __cplusplus
extern "C" {
#endif

int maapi_connect(int sock, const struct sockaddr *srv, int srv_sz);
int maapi_close(int sock);
int maapi_attach(int sock, int hashed_ns, struct confd_trans_ctx *ctx);
int maapi_attach2(int sock, int hashed_ns, int usid, int thandle);
int maapi_detach(int sock, struct confd_trans_ctx *ctx);
int maapi_install_crypto_keys(int sock);
int maapi_cli_printf(int sock, int usess, const char *fmt, ...);
int maapi_cli_write(int sock, int usess, const char *buf, int size);

#ifdef __cplusplus
}
#endif

#endif
