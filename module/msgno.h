// Numbers of the messages of message group 566 that the module issues. The
// host owns the texts; the module passes the number and its inserts.
#pragma once

namespace msg {
constexpr int GROUP = 566;

constexpr int SERVER_SOCKET_BOUND = 7;     // insert: port (int)
constexpr int CONNECTION_ACCEPTED = 8;     // insert: peer address (text)
constexpr int NETRC_READABLE = 9;          // .netrc with a password readable by others
constexpr int NETRC_BAD_KEYWORD = 10;      // unknown word in .netrc
constexpr int REPLY_LINE = 12;             // insert: reply line (text)
constexpr int COMMAND_SENT = 13;           // insert: command (text)
constexpr int PASSWORD_REFUSED = 14;       // insert: user (text)
constexpr int OPEN_COMPLETE = 15;          // inserts: user, host (texts)
constexpr int GREETING = 16;               // insert: greeting line (text)
constexpr int NO_REPLY_CODE = 17;
constexpr int NO_OPEN_MODE = 18;
constexpr int NO_POSITIONING = 19;
constexpr int PORT_REFUSED = 20;
constexpr int TRANSFER_REFUSED = 21;       // TYPE, RETR or a failed final reply on input
constexpr int STORE_REFUSED = 23;          // STOR, APPE, listings, failed final reply on output
constexpr int CWD_REFUSED = 24;
constexpr int BYTE_COUNT_TOO_LARGE = 25;   // inserts: bytes wanted, record size (ints)
constexpr int SEGMENT_DROPPED = 29;        // insert: segment number (int)
constexpr int USER_REFUSED = 30;           // insert: user (text)
constexpr int BREAK_QUESTION = 35;
constexpr int BREAK_TITLE = 36;
constexpr int WAIT_BROKEN = 37;
constexpr int NO_OUTPUT_NAME = 47;
constexpr int NO_HOST_NAME = 50;
constexpr int PWD_REFUSED = 71;
constexpr int NO_INPUT_NAME = 72;
constexpr int NBYTE_UNUSABLE = 92;
constexpr int INPUT_ONLY = 93;
constexpr int UNKNOWN_HOST = 123;           // insert: host name (text)
constexpr int UNKNOWN_SERVICE = 124;        // insert: service name (text)
constexpr int WAIT_TIMED_OUT = 210;        // insert: seconds (int)
constexpr int MGET_PROMPT = 211;           // insert: remote name (text)
constexpr int NO_PASSWORD_REPLY = 212;
constexpr int COMMAND_NOT_SENDABLE = 213;  // insert: the command's verb (text)
constexpr int DATA_PEER_REFUSED = 214;     // inserts: peer, server address (texts)
constexpr int RECORD_CUT_OFF = 215;
constexpr int SERVER_CLOSED = 216;
constexpr int NO_FINAL_REPLY = 217;        // insert: lines read (int)
constexpr int MGET_NAME_TOO_LONG = 218;    // insert: longest name (int)
constexpr int MGET_EMPTY_NAME = 219;
constexpr int DATA_PORT_INVALID = 220;     // insert: the XXAMTPRT value (int)
constexpr int PASSIVE_REFUSED = 221;        // EPSV and PASV refused
constexpr int PASSIVE_REPLY_UNUSABLE = 222; // insert: the reply (text)
constexpr int DATA_CONNECT_FAILED = 223;    // insert: address and port (text)
// FTP over TLS
constexpr int TLS_LIBRARY_MISSING = 224;    // insert: why (text)
constexpr int TLS_AUTH_REFUSED = 225;
constexpr int TLS_HANDSHAKE_FAILED = 226;   // inserts: connection ("control", "data"), reason
constexpr int TLS_CERTIFICATE_REFUSED = 227; // insert: reason (text)
constexpr int TLS_NOT_VERIFIED = 228;
constexpr int TLS_DATA_CUT = 229;
constexpr int TLS_PROTECTION_REFUSED = 230; // insert: the command (text)
constexpr int TLS_IN_USE = 231;             // inserts: protocol, cipher, connection (texts)
constexpr int TLS_TRUSTED = 232;            // insert: the certificate file or folder (text)
constexpr int TLS_FAILED = 233;             // inserts: connection, reason (texts)
constexpr int TLS_CA_FILE_UNUSABLE = 234;   // inserts: file, reason (texts)
constexpr int TLS_NOT_RESUMED = 235;
constexpr int TLS_MODE_INVALID = 236;       // insert: the XXAMFTPS value (text)
constexpr int TLS_DATA_REFUSED = 237;       // insert: the server's reply (text)
constexpr int MGET_NAME_UNASKED = 238;      // inserts: the name, the pattern (texts)
// IPv6
constexpr int NO_ADDRESS_OF_FAMILY = 239;   // inserts: host name, "IPv4" or "IPv6" (texts)
constexpr int FAMILY_OPTION_INVALID = 240;  // insert: the XXAMINET value (text)
constexpr int BIND_NOT_IPV6 = 241;          // insert: the XXAMBIND value (text)
constexpr int EPRT_REFUSED = 242;           // insert: the server's reply (text)
constexpr int EPSV_REFUSED_OVER_IPV6 = 243; // insert: the server's reply (text)
// Sizes, times, restarts and MLSD listings
constexpr int REST_REFUSED = 250;           // inserts: the offset, the server's reply (texts)
constexpr int REST_NOT_USABLE = 251;
constexpr int MGET_TOO_DEEP = 252;          // inserts: the directory (text), levels (int)
}  // namespace msg
