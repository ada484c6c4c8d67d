// The audit record as one line of JSON, for every tool that keeps an audit
// trail (gxpolicyd's file and syslog trail; gxpolicy could write the same
// lines). The fields are documented in README.md ("Audit trail"); a field
// with nothing to say is left out rather than written empty.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "GxCore/db/daAudit.h"

namespace gxpolicy {

// An audit level (daAuditBits) from text: a comma-separated list of
// permit, deny, error, warning and admin, or all, none, or a number. False
// with error naming the word when one is unknown.
bool parseAuditLevel(std::string_view text, std::uint32_t& level, std::string& error);

// Milliseconds since 1970-01-01T00:00:00Z, now.
std::int64_t auditClockMs();

// Appends "YYYY-MM-DDTHH:MM:SS.mmmZ" (RFC 3339, UTC) for ms since 1970.
void appendRfc3339Ms(std::string& out, std::int64_t ms);


// Appends record r as one JSON object and a newline. decidedAtMs is when
// the decision was made (the record's "time"); digest is the replica's
// SHA-256 ("" when there is none). Reads r and the decision it points to
// only during the call (the decision's permission text is made then, so
// call it while the deciding store is open, as a sink does). Throws
// std::bad_alloc when memory runs out; nothing else.
void appendAuditLine(std::string& out, daAuditRecord const& r, std::int64_t decidedAtMs, std::string_view digest);

}  // namespace gxpolicy
