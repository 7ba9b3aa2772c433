// The records the host reads from the module by name: image information, the
// program control node list and the program control node of the method-table
// builder, and the access-method entry block with its method vector.
#pragma once
#include <cstddef>
#include <cstdint>

struct ProgramControlNode;

// The word that marks a module's image information.
constexpr uint32_t IMAGE_MAGIC = 0xB0BDEBED;

struct ImageInfo {                 // vi_mcn, 96 bytes
  char key[24];                    // "TUL_Image_Information=", NUL-padded
  uint32_t magic;                  // IMAGE_MAGIC
  int32_t major_release;           // number before the point of `release`
  char release[6];                 // "d.dd", NUL-padded
  char build_id[20];
  char build_date[26];             // "Mon dd yyyy"
  ProgramControlNode* const* nodes;  // -> mcn_pcns
  const char* notice;
  char level[4];                   // "001"
};
static_assert(sizeof(ImageInfo) == 96);
static_assert(offsetof(ImageInfo, key) == 0);
static_assert(offsetof(ImageInfo, magic) == 24);
static_assert(offsetof(ImageInfo, major_release) == 28);
static_assert(offsetof(ImageInfo, release) == 32);
static_assert(offsetof(ImageInfo, build_id) == 38);
static_assert(offsetof(ImageInfo, build_date) == 58);
static_assert(offsetof(ImageInfo, nodes) == 84);
static_assert(offsetof(ImageInfo, notice) == 88);
static_assert(offsetof(ImageInfo, level) == 92);

using MethodTableBuilder = void (*)(void** block_out, int32_t* status_out);

struct ProgramControlNode {        // pcn_TULXBAMF, 44 bytes
  uint16_t word0;                  // 0x0000
  uint16_t word1;                  // 0xFFFF
  int32_t size_a;                  // 1024
  int32_t size_b;                  // 1024
  char name[12];                   // "tulxbamf", NUL-padded
  MethodTableBuilder builder;      // tulxbamf
  int32_t kind;                    // 2
  uint32_t id;                     // 0x000025D3
  uint32_t stamp;                  // 0x2211AA0E
  int32_t level;                   // 15
};
static_assert(sizeof(ProgramControlNode) == 44);
static_assert(offsetof(ProgramControlNode, word1) == 2);
static_assert(offsetof(ProgramControlNode, size_a) == 4);
static_assert(offsetof(ProgramControlNode, size_b) == 8);
static_assert(offsetof(ProgramControlNode, name) == 12);
static_assert(offsetof(ProgramControlNode, builder) == 24);
static_assert(offsetof(ProgramControlNode, kind) == 28);
static_assert(offsetof(ProgramControlNode, id) == 32);
static_assert(offsetof(ProgramControlNode, stamp) == 36);
static_assert(offsetof(ProgramControlNode, level) == 40);

constexpr int METHOD_SLOTS = 45;
constexpr int METHOD_SLOTS_FILLED = 38;

struct MethodSlot {                // one slot of the method vector, 8 bytes
  uint32_t zero;                   // always 0
  void* routine;                   // null in slots 38-44
};
static_assert(sizeof(MethodSlot) == 8);
static_assert(offsetof(MethodSlot, routine) == 4);

struct MethodInstance;

struct AccessMethodEntry {         // 40 bytes, from the host memory pool
  uint32_t reserved0[2];
  char eyecatcher[4];              // "AMEC"
  uint32_t reserved12;
  char name[8];                    // "TULXBAMF", no terminator
  MethodSlot* vector;              // 45 slots
  uint32_t reserved28[2];
  MethodInstance* instance;        // null until the first assign
};
static_assert(sizeof(AccessMethodEntry) == 40);
static_assert(offsetof(AccessMethodEntry, eyecatcher) == 8);
static_assert(offsetof(AccessMethodEntry, name) == 16);
static_assert(offsetof(AccessMethodEntry, vector) == 24);
static_assert(offsetof(AccessMethodEntry, instance) == 36);

// The name under which the host keeps the entry block.
constexpr char ACCESS_METHOD_NAME[9] = "TULXBAMF";
