// The module loads on hosts with an old C library: the versions it requires
// from libc (the ELF version-needed section of the module file) go no later
// than GLIBC_2.3 -- the dynamic loading of the TLS library included, whose
// dlopen, dlsym and dlerror are taken at their oldest versions. Only libc's
// entry is judged: the sanitized build also needs the sanitizer runtimes,
// which come with the program that loads it. And it needs no library but
// libc: the TLS library is loaded only when TLS is asked for.
#include <gtest/gtest.h>
#include <elf.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

// The sections of the 32-bit ELF file at `path`, each given to `visit` with
// the whole image; nothing for a file that is not one.
void each_section(const std::string& path,
                  const std::function<void(const std::vector<char>&, const Elf32_Shdr*,
                                           const Elf32_Shdr&)>& visit) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (image.size() < sizeof(Elf32_Ehdr)) return;
  auto* header = reinterpret_cast<const Elf32_Ehdr*>(image.data());
  if (std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 || header->e_ident[EI_CLASS] != ELFCLASS32)
    return;
  auto* sections = reinterpret_cast<const Elf32_Shdr*>(image.data() + header->e_shoff);
  for (int i = 0; i < header->e_shnum; ++i) visit(image, sections, sections[i]);
}

// The libraries the module file names as needed (DT_NEEDED).
std::vector<std::string> libraries_needed(const std::string& path) {
  std::vector<std::string> names;
  each_section(path, [&](const std::vector<char>& image, const Elf32_Shdr* sections,
                         const Elf32_Shdr& section) {
    if (section.sh_type != SHT_DYNAMIC) return;
    const char* strings = image.data() + sections[section.sh_link].sh_offset;
    auto* entry = reinterpret_cast<const Elf32_Dyn*>(image.data() + section.sh_offset);
    for (; entry->d_tag != DT_NULL; ++entry)
      if (entry->d_tag == DT_NEEDED) names.emplace_back(strings + entry->d_un.d_val);
  });
  return names;
}

// The version names the module file requires from `library`.
std::vector<std::string> versions_needed(const std::string& path, const std::string& library) {
  std::vector<std::string> names;
  each_section(path, [&](const std::vector<char>& image, const Elf32_Shdr* sections,
                         const Elf32_Shdr& section) {
    if (section.sh_type != SHT_GNU_verneed) return;
    auto at = [&](size_t offset) { return image.data() + offset; };
    const char* strings = at(sections[section.sh_link].sh_offset);
    size_t need_at = section.sh_offset;
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
  });
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

TEST(ModuleSymbolVersions, NoLibraryButLibcIsNeeded) {
  std::vector<std::string> needed;
  for (const std::string& name : libraries_needed(FTPAM_MODULE_PATH))
    if (name.rfind("libasan", 0) != 0 && name.rfind("libubsan", 0) != 0) needed.push_back(name);
  EXPECT_EQ(needed, std::vector<std::string>{"libc.so.6"});
}

}  // namespace
