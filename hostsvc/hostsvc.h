// Host services as the module calls them. Each name is a binding generated in
// hostsvc/stubs.S from hostsvc/services.def; the binding jumps to the host's
// routine, so these prototypes are the module's side of the contract.
#pragma once
#include <cstdint>

extern "C" {
// The host's control block and process information block, kept by mcn_main.
extern void** v_global_gcb_anchor;
extern void* v_global_pidb_anchor;

// Memory pools.
void* ympoolc(int32_t zero, int32_t size, int32_t flags);  // creates a private pool
void* yymheap(void);                                        // heap handle for frees
int32_t wmpoold(void* pool);                                // deletes a private pool

// Messages of group 566, formatting and failure texts.
int32_t ypmlog(int32_t group, int32_t number, ...);
int32_t ypmstr(char* buffer, int32_t size, int32_t group, int32_t number, ...);
int32_t ypsstr(char* buffer, int32_t size, const char* format, ...);
int32_t ypslog(const char* format, ...);
int32_t wkread(int32_t group, int32_t number, const char** text, int32_t* length);
int32_t wrmksub(int32_t kind, ...);  // kind 1: (text, length incl. NUL); kind 2: (&len, 4, name, len)

// Names.
int32_t yxam2am(const char* name8, void** block_out, void* context);
int32_t yxaunql(char* name8, void* context);

// Statement tokenizer and echo masking.
int32_t yxatoki(void* token);
int32_t yxatok(int32_t parse_flags, void* source, void* token);
int32_t yxatokt(void* token);
int32_t yhqblot(void* echo_context, void* position);

// Work (spool) files.
int32_t xcopen(void** handle_out, void* descriptor);
int32_t xcnote(void* handle, int32_t* token_out);
int32_t xcpoint(void* handle, int32_t token);    // token -1: end of file
int32_t xcread(void* handle, void* buffer, int32_t length);
int32_t xcwrite(void* handle, const void* buffer, int32_t length);

// Options of a file reference.
void* ytrakcp(void* fileref);
void ytrakdp(void* handle);

// Text services.
int32_t wztxcei(int32_t zero, const char* name, int32_t length, int32_t* id_out);
int32_t wzfmhc(const void* value, int32_t size, int32_t width, int32_t zero, char* buffer);
int32_t wzosvar(const char* name, int32_t name_length, char* buffer, int32_t size,
                int32_t* length_out);
int32_t wzrlchr(const char* text, int32_t length, int32_t zero, int32_t* out, int32_t* value);
void wzstrlo(char* text, int32_t length);

// Events and waits.
int32_t vtfdreg(int32_t descriptor, void* event, int32_t one);
int32_t vtfdclr(int32_t descriptor);
int32_t wtgclr(void* event);
int32_t wtgpost(void* event, int32_t code);
int32_t wtgwait(int32_t zero, int32_t one, int32_t count, void** events);
int32_t wtspush(int32_t one, int32_t one_again, void* routine);
int32_t wtspop(int32_t one, int32_t one_again);
int32_t wtpoll(void);

// Questions to the user.
int32_t wurrqst(int32_t kind, const char* prompt, const char* title, char* answer,
                int32_t* length_out, int32_t maximum);
}
