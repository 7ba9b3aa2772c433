// The routines of the method vector, one per operation the host drives on a
// file reference of this access method. The slot each one occupies is the
// host's contract (module/methods.def). All return a 32-bit status.
#pragma once
#include <cstdint>

struct FtpFile;
struct FtpOptions;
struct InfoRecord;

extern "C" {
// Assign `name` to `remote` with the assign-time options.
int32_t yxfasgn(char* name, void* context, const char* am_name, const char* remote,
                int32_t remote_length, FtpOptions* options);
// Deassign; refused while files of the reference are open.
int32_t yxfdasg(const char* name, void* context);
// 0 when `name` is a reference of this method.
int32_t yxfexl(const char* name, void* context);
// Nothing to do; answers 0.
int32_t yxfexp(...);
// The remote name of a reference, at most 1024 bytes and a NUL.
int32_t yxfpnam(const char* name, char* buffer);
// Every NO_METHOD slot of module/methods.def: operation not supported.
int32_t yxfnsup(...);
// Enumerate the references, newest first, then 0x802.
int32_t yxfnxt(void** cursor, char* name_out, void* context, const char** remote_out,
               int32_t* length_out);
// 0 when `name` is assigned here (no context).
int32_t yxfval(const char* name);
// Fill the host's 10-word information record.
int32_t yxfinfo(FtpFile* file, const char* name, void* host_fileref, int32_t, int32_t,
                InfoRecord* info);
// Build and release the information-item list of an open file.
int32_t yxfins(FtpFile* file, void** list_out);
int32_t yxfinf(FtpFile* file, void* list);
// Open; `request` is the host's open request record.
int32_t yxfopn(FtpFile** result, const char* name, void* host_fileref, int32_t* request);
// Note, point and the position conversions.
int32_t yxfnote(FtpFile* file, void* position);
int32_t yxfpnt(FtpFile* file, void* position);
int32_t yxfp2b(FtpFile* file, double* number_out, void* position);
int32_t yxfb2p(FtpFile* file, double number, void* position);
// Read and write one record.
int32_t yxfread(FtpFile* file, char** record_out, int32_t* length, char* cc_out);
int32_t yxfwrit(FtpFile* file, const char* data, int32_t length, int32_t cc);
// Nothing buffered to flush; answers 0.
int32_t yxfflsh(...);
// Close.
int32_t yxfcls(FtpFile* file);
// Parse one option of a statement into the reference's option block.
int32_t yxfpars(int32_t, void* echo_context, int32_t, int32_t parse_flags, void* source,
                int32_t* count_out, FtpOptions** block_slot);
// Copy an option block out to the host and back in.
int32_t yxfhh2p(int32_t, int32_t, const FtpOptions* source, FtpOptions** block_out,
                int32_t* length_out);
int32_t yxfhp2h(int32_t, int32_t, const FtpOptions* source, int32_t length,
                FtpOptions** block_out);
// Build the record-access vector of an open file.
int32_t yxfamvc(FtpFile* file, void** vector_out);
// Release an option block.
int32_t yxfhbfr(const char* name, void* context, FtpOptions* block);

// Exported; no slot refers to it.
int32_t yxfok(...);
}
