// The ports that a server's replies to EPSV (229) and PASV (227) name. Both
// readers take a reply line of `length` bytes (not NUL-terminated), read
// nothing outside it, and answer 0 when the line names no usable port.
#pragma once
#include <cstdint>

// "229 Entering Extended Passive Mode (|||port|)": three delimiters, the
// port and a fourth delimiter, which RFC 2428 lets be any character from '!'
// to '~' other than a digit.
int32_t extended_port(const char* line, int32_t length);
// "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)": six numbers from 0 to 255
// separated by commas (blanks after a comma allowed), starting at the first
// digit after the code, wherever that stands. The four of the address are
// not used.
int32_t passive_port(const char* line, int32_t length);
