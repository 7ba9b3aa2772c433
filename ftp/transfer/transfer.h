// What the transfer commands and MGET share inside the protocol engine:
// starting a transfer on a fresh data connection, and the MGET name list.
#pragma once
#include <cstdint>

#include "ftp/ftp_file.h"

// Sets up the data connection (initconn), sends `format` with `argument`
// (null: the verb alone), judges the reply and waits for the server's data
// connection. A refusal hands over message `refused_message` (550: the
// remote name, with 0x80001006). With `quiet_refusal` a refusal hands
// nothing over: the caller has another way to go. `prepare`, when given,
// runs between the set-up and the command.
int32_t start_transfer(FtpFile* file, const char* format, const char* argument,
                       int32_t refused_message, bool quiet_refusal = false,
                       int32_t (*prepare)(FtpFile*) = nullptr);

// Before the transfer command, once the data connection is set up: with
// the FACTS option SIZE and MDTM (unless the facts are known already), and
// REST with the offset of the REST= option, which only a single read in
// binary may have (message 251 otherwise; a refusal is message 250).
int32_t prepare_transfer(FtpFile* file);
// The transfer goes in binary (TYPE I): the fixed, stream and S370 formats.
bool binary_type(const FtpFile* file);

// Whether this open's data connections are passive: the PASV option, or a
// positive value of the host option XXAMPASV, unless the ACTIVE option says
// active for this file.
bool passive_wanted(const FtpFile* file);
// Passive set-up on the fresh data block: EPSV (then PASV when EPSV is
// refused) and the connect to the port the server names, on the address the
// control connection reaches. Records the mode in data_mode.
int32_t open_passive(FtpFile* file);

// The host option `key` of the file reference into `value` (at most `max`
// characters; empty when absent).
void file_host_option(const FtpFile* file, const char* key, char* value, int32_t max);
// Whether the host option `key` of the file reference is a positive number.
bool host_option_positive(const FtpFile* file, const char* key);

extern "C" {
// Appends the name of `length` bytes (cut to 255) to the MGET list; `tail`
// addresses the last entry so far (null at first) and is advanced.
int32_t domget_build_name(const char* text, int32_t length, FtpFile* file, void** tail);
// 1 when the file named in remote_name is to be transferred, 0 to skip it.
int32_t domget_prompt(FtpFile* file);
}
