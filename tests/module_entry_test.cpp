// The records the host reads from the module, the entry block and the method
// vector, as the reference host finds them after loading.
#include <gtest/gtest.h>

#include <elf.h>

#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include "host/control_block.h"
#include "host/memory.h"
#include "host/module.h"
#include "module/status.h"
#include "tests/support/loaded_module.h"

using ftptest::module;

namespace {


const unsigned char* bytes(const void* p) { return static_cast<const unsigned char*>(p); }
uint32_t word_at(const void* p, int offset) {
  uint32_t w;
  std::memcpy(&w, bytes(p) + offset, 4);
  return w;
}

TEST(ImageInformation, IsTheStaticRecordMcnMainReturns) {
  auto* image = module().image();
  ASSERT_EQ(image, module().symbol("vi_mcn"));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(image)), "TUL_Image_Information=");
  EXPECT_EQ(bytes(image)[22], 0);
  EXPECT_EQ(bytes(image)[23], 0);
  EXPECT_EQ(word_at(image, 24), IMAGE_MAGIC);
  // The major release number is the number before the point of the release text.
  const char* release = reinterpret_cast<const char*>(bytes(image) + 32);
  ASSERT_EQ(std::strlen(release), 4u);
  EXPECT_TRUE(std::isdigit(release[0]) && release[1] == '.' && std::isdigit(release[2]) &&
              std::isdigit(release[3]));
  EXPECT_EQ(int(word_at(image, 28)), release[0] - '0');
  EXPECT_LT(std::strlen(reinterpret_cast<const char*>(bytes(image) + 38)), 20u);
  std::string date(reinterpret_cast<const char*>(bytes(image) + 58));
  EXPECT_EQ(date.size(), 11u) << date;
  EXPECT_EQ(word_at(image, 84), reinterpret_cast<uintptr_t>(module().symbol("mcn_pcns")));
  EXPECT_GT(std::strlen(reinterpret_cast<const char*>(word_at(image, 88))), 0u);
  EXPECT_STREQ(reinterpret_cast<const char*>(bytes(image) + 92), "001");

  // mcn_main hands back the same record every time and keeps the block.
  using Main = const void* (*)(void**, void*);
  auto main = reinterpret_cast<Main>(module().symbol("mcn_main"));
  uint32_t pidb[4] = {};
  EXPECT_EQ(main(host::control_block(), pidb), image);
}

TEST(ImageInformation, NodeListLeadsToTheBuilderNode) {
  auto* list = static_cast<void* const*>(module().symbol("mcn_pcns"));
  void* node = module().symbol("pcn_TULXBAMF");
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(list[0], node);
  EXPECT_EQ(list[1], nullptr);

  EXPECT_EQ(word_at(node, 0), 0xFFFF0000u);  // 16-bit 0x0000 then 0xFFFF
  EXPECT_EQ(word_at(node, 4), 1024u);
  EXPECT_EQ(word_at(node, 8), 1024u);
  EXPECT_EQ(std::memcmp(bytes(node) + 12, "tulxbamf\0\0\0\0", 12), 0);
  EXPECT_NE(word_at(node, 24), 0u);
  EXPECT_EQ(word_at(node, 28), 2u);
  EXPECT_EQ(word_at(node, 32), 0x25D3u);
  EXPECT_EQ(word_at(node, 36), 0x2211AA0Eu);
  EXPECT_EQ(word_at(node, 40), 15u);
}

TEST(EntryBlock, CarriesEyeCatcherNameAndVector) {
  auto* entry = module().entry();
  EXPECT_EQ(word_at(entry, 0), 0u);
  EXPECT_EQ(word_at(entry, 4), 0u);
  EXPECT_EQ(std::memcmp(bytes(entry) + 8, "AMEC", 4), 0);
  EXPECT_EQ(word_at(entry, 12), 0u);
  EXPECT_EQ(std::memcmp(bytes(entry) + 16, "TULXBAMF", 8), 0);
  EXPECT_NE(word_at(entry, 24), 0u);
  EXPECT_EQ(word_at(entry, 28), 0u);
  EXPECT_EQ(word_at(entry, 32), 0u);

  // The host finds the same block again by name.
  void* found = nullptr;
  using Find = int32_t (*)(const char*, void**, void*);
  auto find = reinterpret_cast<Find>(
      static_cast<void**>(host::control_block()[0])[30] ? static_cast<void***>(
                                                              host::control_block()[0])[30][226]
                                                        : nullptr);
  ASSERT_NE(find, nullptr);
  EXPECT_EQ(find("TULXBAMF", &found, nullptr), 0);
  EXPECT_EQ(found, entry);
}

TEST(MethodVector, FirstWordsZeroAndSlots38To44Empty) {
  const unsigned char* vector = bytes(module().entry()->vector);
  for (int s = 0; s < 45; ++s) {
    EXPECT_EQ(word_at(vector, 8 * s), 0u) << "slot " << s;
    if (s >= 38) EXPECT_EQ(word_at(vector, 8 * s + 4), 0u) << "slot " << s;
    else EXPECT_NE(word_at(vector, 8 * s + 4), 0u) << "slot " << s;
  }
}

TEST(MethodVector, UnsupportedSlotsShareOneRoutineThatAnswersNotSupported) {
  void* nsup = module().vector()[host::slot::first_unsupported()].routine;
  for (int s = 0; s < METHOD_SLOTS_FILLED; ++s) {
    if (!host::slot::supported(s)) {
      EXPECT_EQ(module().vector()[s].routine, nsup) << "slot " << s;
      EXPECT_EQ(module().call(s, 1, 2, 3), st::NOT_SUPPORTED) << "slot " << s;
    } else {
      EXPECT_NE(module().vector()[s].routine, nsup) << "slot " << s;
    }
  }
  // yxfexp (3) and yxfflsh (20) answer 0 whatever they are given.
  EXPECT_EQ(module().call(host::slot::EXP, 7, 8), st::OK);
  EXPECT_EQ(module().call(host::slot::FLUSH), st::OK);
  using Ok = int32_t (*)(...);
  EXPECT_EQ(reinterpret_cast<Ok>(module().symbol("yxfok"))(1, 2), st::OK);
}

using Builder = void (*)(void**, int32_t*);
Builder builder() { return module().node()->builder; }

TEST(MethodTableBuilder, BuildsAFreshBlockEachCall) {
  int before = host::memory::live_blocks();
  void* block = nullptr;
  int32_t status = -1;
  builder()(&block, &status);
  ASSERT_EQ(status, st::OK);
  ASSERT_NE(block, nullptr);
  EXPECT_NE(block, module().entry());
  EXPECT_EQ(host::memory::live_blocks(), before + 2);  // entry block and vector
  auto* entry = static_cast<AccessMethodEntry*>(block);
  EXPECT_EQ(std::memcmp(entry->vector, module().vector(), 45 * 8), 0);
  host::memory::heap()->free(host::memory::heap(), entry->vector, 0, 4);
  host::memory::heap()->free(host::memory::heap(), entry, 0, 4);
}

TEST(MethodTableBuilder, AllocationFailuresLeaveNothingBehind) {
  for (long nth : {1L, 2L}) {
    int before = host::memory::live_blocks();
    host::clear_in_use();
    host::memory::fail_allocation(nth);
    void* block = reinterpret_cast<void*>(0x1);
    int32_t status = 0;
    builder()(&block, &status);
    host::memory::fail_allocation(0);
    EXPECT_EQ(status, st::NO_MEMORY) << "allocation " << nth;
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(host::memory::live_blocks(), before) << "allocation " << nth;
    // Releasing the first block goes through the heap service (vector 30),
    // whose binding marks the vector as in use.
    EXPECT_EQ(host::vector_in_use(30), nth == 2);
  }
}

// The module file itself: i386, and it needs libc alone.
TEST(ModuleFile, IsAnI386SharedObjectNeedingOnlyLibc) {
  std::ifstream f(FTPAM_MODULE_PATH, std::ios::binary);
  std::string data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  ASSERT_GT(data.size(), sizeof(Elf32_Ehdr));
  auto* eh = reinterpret_cast<const Elf32_Ehdr*>(data.data());
  EXPECT_EQ(eh->e_ident[EI_CLASS], ELFCLASS32);
  EXPECT_EQ(eh->e_machine, EM_386);
  EXPECT_EQ(eh->e_type, ET_DYN);
  auto* sh = reinterpret_cast<const Elf32_Shdr*>(data.data() + eh->e_shoff);
  std::set<std::string> needed;
  for (int i = 0; i < eh->e_shnum; ++i) {
    if (sh[i].sh_type != SHT_DYNAMIC) continue;
    const char* strtab = data.data() + sh[sh[i].sh_link].sh_offset;
    auto* dyn = reinterpret_cast<const Elf32_Dyn*>(data.data() + sh[i].sh_offset);
    for (size_t k = 0; k < sh[i].sh_size / sizeof(Elf32_Dyn); ++k)
      if (dyn[k].d_tag == DT_NEEDED) needed.insert(strtab + dyn[k].d_un.d_val);
  }
  for (const auto& name : needed) {
#ifdef __SANITIZE_ADDRESS__
    // A sanitized build's module also needs the sanitizer runtimes.
    if (name.starts_with("libasan.so") || name.starts_with("libubsan.so")) continue;
#endif
    EXPECT_EQ(name, "libc.so.6");
  }
}

}  // namespace
