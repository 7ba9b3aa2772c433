// The module loads on hosts with an old C library: the versions it requires
// from libc (the ELF version-needed section of the module file) go no later
// than GLIBC_2.3. Only libc's entry is judged: the sanitized build also needs
// the sanitizer runtimes, which come with the program that loads it.
#include <gtest/gtest.h>
#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// The version names the module file requires from `library`.
std::vector<std::string> versions_needed(const std::string& path, const std::string& library) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> names;
  if (image.size() < sizeof(Elf32_Ehdr)) return names;
  auto at = [&](size_t offset) { return image.data() + offset; };
  auto* header = reinterpret_cast<const Elf32_Ehdr*>(at(0));
  if (std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 || header->e_ident[EI_CLASS] != ELFCLASS32)
    return names;
  auto* sections = reinterpret_cast<const Elf32_Shdr*>(at(header->e_shoff));
  for (int i = 0; i < header->e_shnum; ++i) {
    if (sections[i].sh_type != SHT_GNU_verneed) continue;
    const char* strings = at(sections[sections[i].sh_link].sh_offset);
    size_t need_at = sections[i].sh_offset;
    for (;;) {
      auto* need = reinterpret_cast<const Elf32_Verneed*>(at(need_at));
      size_t aux_at = need_at + need->vn_aux;
      for (int k = 0; k < need->vn_cnt; ++k) {
        auto* aux = reinterpret_cast<const Elf32_Vernaux*>(at(aux_at));
        if (library == strings + need->vn_file) names.emplace_back(strings + aux->vna_name);
        aux_at += aux->vna_next;
      }
      if (!need->vn_next) break;
      need_at += need->vn_next;
    }
  }
  return names;
}

// "GLIBC_2.25" -> {2, 25}; "GLIBC_2.1.3" -> {2, 1, 3}.
std::vector<int> version_numbers(const std::string& name) {
  std::vector<int> numbers;
  size_t at = name.find('_');
  while (at != std::string::npos && at + 1 < name.size()) {
    numbers.push_back(std::stoi(name.substr(at + 1)));
    at = name.find('.', at + 1);
  }
  return numbers;
}

TEST(ModuleSymbolVersions, NothingNewerThanGlibc23IsRequiredFromLibc) {
  const auto needed = versions_needed(FTPAM_MODULE_PATH, "libc.so.6");
  ASSERT_FALSE(needed.empty()) << "no libc version references read from " << FTPAM_MODULE_PATH;
  const std::vector<int> newest_allowed{2, 3};
  for (const auto& name : needed) {
    ASSERT_EQ(name.rfind("GLIBC_", 0), 0u) << name;
    EXPECT_LE(version_numbers(name), newest_allowed) << "the module requires " << name;
  }
}

}  // namespace
