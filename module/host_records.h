// Records the access method exchanges with the host at record level: the
// open request, the record-access vector, the position record, and the
// information record and item list. The host owns or reads each of them, so
// their layouts are fixed.
#pragma once
#include <cstddef>
#include <cstdint>

struct FtpFile;
struct FtpOptions;

// Open-mode bits (open request word 0, ftp_file open_mode).
constexpr int32_t OPEN_INPUT = 0x01;
constexpr int32_t OPEN_OUTPUT = 0x02;
constexpr int32_t OPEN_APPEND = 0x04;
constexpr int32_t OPEN_POSITIONING = 0x20;

// Record-format bits (open request word 1, ftp_file recfm).
constexpr int32_t RECFM_S = 0x02;          // byte-stream pieces
constexpr int32_t RECFM_F = 0x08;          // fixed length
constexpr int32_t RECFM_CC = 0x10;         // first byte is a carriage-control character
constexpr int32_t RECFM_V = 0x20;          // terminated lines
constexpr int32_t RECFM_HOST_0X40 = 0x40;  // a host bit the open tests for positioning

// The host's open request (yxfopn's fourth argument).
struct OpenRequest {
  int32_t open_mode;      // in: OPEN_* bits
  int32_t recfm;          // in: record format asked for
  int32_t lrecl;          // in: LRECL when > 0; out: the record length in force
  FtpOptions* options;    // in: option block given with the open, or null
  int32_t reserved4;
  int32_t cleared;        // out: set to 0 on entry
  int32_t encoding;       // out: the encoding id in force
};
static_assert(sizeof(OpenRequest) == 28);
static_assert(offsetof(OpenRequest, lrecl) == 8);
static_assert(offsetof(OpenRequest, options) == 12);
static_assert(offsetof(OpenRequest, cleared) == 20);
static_assert(offsetof(OpenRequest, encoding) == 24);

// The host's file-reference record as the module reads it: the owner key is
// its sixth word.
constexpr int HOST_FILEREF_OWNER_WORD = 5;

// Record-access vector: 19 words, one per open; the module fills words 0-6.
using ReadRoutine = int32_t (*)(FtpFile* file, char** record_out, int32_t* length, char* cc_out);
using WriteRoutine = int32_t (*)(FtpFile* file, const char* data, int32_t length, int32_t cc);
using PositionRoutine = int32_t (*)(FtpFile* file, void* position);
using NumberToPosition = int32_t (*)(FtpFile* file, double number, void* position);
struct RecordAccessVector {
  FtpFile* file;
  ReadRoutine read;
  WriteRoutine write;
  PositionRoutine note;
  PositionRoutine point;
  NumberToPosition number_to_position;
  void* unsupported;  // method-vector slot 17
  uint32_t host_words[12];
};
static_assert(sizeof(RecordAccessVector) == 76);
static_assert(offsetof(RecordAccessVector, read) == 4);
static_assert(offsetof(RecordAccessVector, write) == 8);
static_assert(offsetof(RecordAccessVector, note) == 12);
static_assert(offsetof(RecordAccessVector, point) == 16);
static_assert(offsetof(RecordAccessVector, number_to_position) == 20);
static_assert(offsetof(RecordAccessVector, unsupported) == 24);

// Position record: the host keeps it, the module fills its first 12 bytes.
struct Position {
  uint8_t valid;         // 1 when filled by note or number-to-position; 0: start of file
  uint8_t unused[3];
  int32_t token;         // work-file position token (spool_note)
  int32_t byte_position; // logical byte position (spool_pos)
};
static_assert(sizeof(Position) == 12);
static_assert(offsetof(Position, token) == 4);
static_assert(offsetof(Position, byte_position) == 8);

// Information record (yxfinfo): 10 words.
struct InfoRecord {
  const char* name;       // remote name
  int32_t name_length;
  int32_t recfm_code;     // 8 (F) or 0x20, plus 0x10 with carriage control
  int32_t maxrec;
  char device[8];         // "FTP", four blanks, NUL
  int32_t word6;
  int32_t word7;
  int32_t word8;          // 12
  int32_t word9;          // 4
};
static_assert(sizeof(InfoRecord) == 40);
static_assert(offsetof(InfoRecord, recfm_code) == 8);
static_assert(offsetof(InfoRecord, maxrec) == 12);
static_assert(offsetof(InfoRecord, device) == 16);
static_assert(offsetof(InfoRecord, word8) == 32);
static_assert(offsetof(InfoRecord, word9) == 36);

// Information item list (yxfins / yxfinf): a 20-byte header whose word 3
// counts the items, then up to 12 entries.
struct InfoItem {
  const char* name;
  int32_t name_length;
  const char* value;
  int32_t value_length;
};
static_assert(sizeof(InfoItem) == 16);
constexpr int INFO_ITEMS_MAX = 12;
struct InfoItemList {
  int32_t header[5];  // header[3]: number of items
  InfoItem items[INFO_ITEMS_MAX];
};
static_assert(sizeof(InfoItemList) == 212);
static_assert(offsetof(InfoItemList, items) == 20);

// What the server told of the file being read (yxffact), asked before the
// transfer when the FACTS option is given: its size in bytes as the server
// counts them (SIZE; for a TYPE A transfer the server's own byte count,
// which need not be the number of bytes that arrive) and its time of last
// change (MDTM) in seconds since 1970-01-01 UTC. `known` says which of them
// the server told; neither is known when it does not have the command.
constexpr uint32_t FACT_SIZE = 0x1;
constexpr uint32_t FACT_MODIFIED = 0x2;
struct FileFacts {
  uint32_t known;         // FACT_* bits
  uint32_t reserved;      // 0
  int64_t size;           // bytes; 0 unless FACT_SIZE
  int64_t modified;       // seconds since 1970 UTC; 0 unless FACT_MODIFIED
};
static_assert(sizeof(FileFacts) == 24);
static_assert(offsetof(FileFacts, known) == 0);
static_assert(offsetof(FileFacts, size) == 8);
static_assert(offsetof(FileFacts, modified) == 16);

// The module's entry that fills a FileFacts for an open file (exported by
// name, beside the method vector).
using FactsRoutine = int32_t (*)(FtpFile* file, FileFacts* facts);
