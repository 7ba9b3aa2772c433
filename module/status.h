// Status codes returned by every entry point of the module. Zero is success;
// values without the high bit are conditions the caller handles, values with
// the high bit set are failures.
#pragma once
#include <cstdint>

namespace st {
constexpr int32_t OK = 0;
constexpr int32_t END_OF_DATA = 0x00000801;       // peer closed / no more records
constexpr int32_t END_OF_LIST = 0x00000802;       // enumeration exhausted
constexpr int32_t NEXT_CONNECTION = 0x00001003;   // next accept / next MGET file
constexpr int32_t TRUNCATED = 0x00001009;         // record cut to the record size

constexpr int32_t NO_MEMORY = int32_t(0x80000803);
constexpr int32_t FAILED = int32_t(0x80000805);
constexpr int32_t NOT_SUPPORTED = int32_t(0x8000080B);
constexpr int32_t NOT_ASSIGNED = int32_t(0x80001004);
constexpr int32_t FILE_REFUSED = int32_t(0x80001006);
constexpr int32_t BAD_RECORD_SIZE = int32_t(0x8000100C);
constexpr int32_t BAD_OPTION_BLOCK = int32_t(0x8000100D);
constexpr int32_t OPEN_FAILED = int32_t(0x8000100F);
constexpr int32_t NO_REMOTE_NAME = int32_t(0x80001010);
constexpr int32_t UNTERMINATED_QUOTE = int32_t(0x80001011);
constexpr int32_t UNKNOWN_KEYWORD = int32_t(0x80001017);
constexpr int32_t BAD_OPTION_VALUE = int32_t(0x80001018);
constexpr int32_t BYTE_COUNT_TOO_LARGE = int32_t(0x8000101A);
constexpr int32_t HAS_OPEN_FILES = int32_t(0x80001024);
constexpr int32_t NO_OPEN_FILE = int32_t(0x80001025);
constexpr int32_t BAD_TABLE = int32_t(0x8000200A);
constexpr int32_t FIELD_OVERFLOW = int32_t(0x8000200D);

// Readers test for end of data with bits 22 to 30 cleared.
constexpr int32_t condition_of(int32_t status) { return status & ~0x7FC00000; }
constexpr bool is_failure(int32_t status) { return status < 0; }
}  // namespace st
