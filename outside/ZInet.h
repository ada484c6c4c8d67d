// Address conversion of the foundation library: IP address text to binary
// and back. Thin wrappers over the POSIX inet_pton and inet_ntop, with the
// same results, so that callers need not include the socket headers.
#pragma once

// Parses src as an address of family (2 for IPv4, 10 for IPv6) into dst,
// which must hold 4 or 16 bytes. Returns 1 on success, 0 when src is not an
// address of that family (dst then undefined), -1 for an unknown family or
// a null pointer.
int zinet_pton_6_0(int family, char const* src, void* dst);

// Formats the 4 or 16 bytes at src as text of family into dst (size bytes,
// NUL-terminated). Returns dst on success, null when the family is unknown,
// a pointer is null or the text does not fit.
char const* zinet_ntop_6_0(int family, void const* src, char* dst, unsigned int size);
