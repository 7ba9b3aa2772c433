// Text utilities shared by the whole module: explicit-length, blank-padded
// byte strings as the host uses them. None allocates; all are reentrant.
#pragma once
#include <cstdint>

extern "C" {
int32_t min(int32_t a, int32_t b);
int32_t vzatl(int32_t character, const char* text, int32_t n);
void vzmp(const void* source, int32_t source_length, void* target, int32_t target_length);
int32_t wzclchr(int32_t value, char* field, int32_t width);
int32_t wzstcom(const char* a, int32_t a_length, const char* b, int32_t b_length);
void wzstjls(char* field, int32_t width, int32_t mode, int32_t* text_length_out,
             int32_t* offset_out);
int32_t wzstlen(const char* text);
int32_t wzstndx(const char* buffer, int32_t buffer_length, const char* pattern,
                int32_t pattern_length);
int32_t wzstrip(const char* text, int32_t length);
int32_t wzstrpq(char* text, int32_t length);
int32_t wztxxlt(int32_t table, const void* source, void* target, int32_t n);
}
