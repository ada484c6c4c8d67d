// gxpolicyd under systemd: readiness and reload notifications to the
// service manager (Type=notify) and log lines and audit records written to
// the journal with fields of their own.
//
// Every call does nothing outside systemd: notify() when NOTIFY_SOCKET is
// not set, the journal calls are only made when journalOnStderr() is true.
// Thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace gxpolicyd {

// Tells the service manager state, e.g. "READY=1\nSTATUS=serving". False
// when it could not be told (or nobody asked to be).
bool notify(std::string const& state);

// True when this process's standard error is the journal's stream (systemd
// sets JOURNAL_STREAM to its device and inode): log lines then go to the
// journal as entries with a priority rather than as text.
bool journalOnStderr();

// One log entry: MESSAGE, PRIORITY (syslog levels: 3 error, 6 info) and
// SYSLOG_IDENTIFIER=gxpolicyd. False when the journal refused it.
bool journalLine(int priority, std::string const& message);

// One audit record (a JSON line of audit_record.h) as an entry of its own:
// MESSAGE is the line, and GX_DECISION, GX_CAUSE, GX_OBJECT, GX_ACTIONS,
// GX_USER, GX_ADDRESS and GX_SEQUENCE carry the fields journalctl can
// filter on (journalctl GX_CAUSE=acl-denied). Facility authpriv, severity
// notice for denials and errors, info otherwise. False when refused.
bool journalAuditRecord(std::string_view line);

// The fields journalAuditRecord sends for line, "NAME=value" each (a line
// that is not a JSON object: MESSAGE and the identifier alone).
std::vector<std::string> journalAuditFields(std::string_view line);

}  // namespace gxpolicyd
