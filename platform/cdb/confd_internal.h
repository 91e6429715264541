// Library-private helpers shared by the confd_* client units.
#pragma once

#include <cstdarg>
#include <string>

#include "platform/cdb/cdb_wire.h"
#include "platform/cdb/confd_lib.h"

namespace confd_internal
{

// Sets confd_errno and confd_lasterr(); returns CONFD_ERR.
int set_err(int code, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void free_tag_values(confd_tag_value_t *tv, int n);

// The name given to confd_init (used as the client name of new connections).
const char *client_name();

// Connects sock to srv and introduces it to the server. Returns the connection id or CONFD_ERR.
int hello(int sock, const struct sockaddr *srv, int srv_sz, cdbwire::ConnKind kind, const char *name,
          uint32_t daemon_id, uint32_t *daemon_id_out);

// One request/reply exchange on a client-driven socket. On success *reply holds
// the reply body after the status fields.
int request(int sock, uint32_t op, cdbwire::WireWriter &w, std::string *reply);
// Sends one frame; writes from several threads to one socket are serialised.
int send_frame(int sock, uint32_t op, cdbwire::WireWriter &w);

// Formats a ConfD keypath format ("/a/b{%x}/c") with its arguments into text.
int format_path(std::string *out, const char *fmt, va_list args);

// Schema helpers for printing (empty results before confd_load_schemas).
const char *tag_name(uint32_t tag);

}  // namespace confd_internal
