// Reading what a server says about a file: the time of MDTM and of MLSD's
// "modify" fact (YYYYMMDDHHMMSS, UTC, perhaps with a fraction), and one line
// of an MLSD listing ("fact=value;fact=value; name"). Plain functions of the
// text, without the module around them, so they can be tried on any input:
// nothing is read past the length given.
#pragma once
#include <cstdint>

// Seconds since 1970-01-01 UTC of a time "YYYYMMDDHHMMSS" (a ".fraction"
// after it is ignored); false when the text is not such a time.
bool parse_ftp_time(const char* text, int32_t length, int64_t* seconds);

// A size: 1 to 18 decimal digits (more may not fit); false for anything else.
bool parse_ftp_size(const char* text, int32_t length, int64_t* size);

// What an MLSD line is about: the "type" fact.
enum class EntryType { Unknown, File, Directory, Other };  // Other: cdir, pdir, links, ...

struct MlsdEntry {
  EntryType type = EntryType::Unknown;
  bool size_known = false;
  bool modified_known = false;
  int64_t size = 0;          // "size" (or "sizd" of a directory)
  int64_t modified = 0;      // "modify", seconds since 1970 UTC
  const char* name = nullptr;  // inside the line; everything after the first blank
  int32_t name_length = 0;
};

// Reads one MLSD line (its line end removed). Facts come in any order and
// their names in any case; unknown facts and facts with values that cannot
// be read are passed over. The name is all that follows the blank after the
// facts, blanks and semicolons included. False for a line without that
// blank or with an empty name.
bool parse_mlsd_line(const char* line, int32_t length, MlsdEntry* entry);
