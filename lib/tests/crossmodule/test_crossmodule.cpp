// Strings and lists made by a loaded module (with its own copy of the
// library) and filled by this program's copy: every buffer must stay in the
// heap of the module that constructed the object.
#include <dlfcn.h>
#include <elf.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/cxxlib.h"
#include "lib/stringlist.h"

#ifndef MVN_XMODULE_PATH
#error "MVN_XMODULE_PATH names the test module"
#endif

namespace {

using CreateTextFn = CTEXT* (*)();
using DestroyTextFn = void (*)(CTEXT*);
using CreateListFn = CSTRINGLIST* (*)();
using DestroyListFn = void (*)(CSTRINGLIST*);
using BlockCountFn = SIZE_T (*)();
using ReadyFn = bool (*)();

const std::vector<std::string> kExports = {"xm_CreateList", "xm_CreateText",     "xm_DestroyList",
                                           "xm_DestroyText", "xm_HeapBlockCount", "xm_StaticObjectReady"};

SIZE_T HostBlocks() { return HeapBlockCount(CXXHEAP::HeapHandle()); }

// The names of the symbols a shared object defines in its dynamic symbol table.
std::vector<std::string> DefinedDynamicSymbols(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> names;
  if (image.size() < sizeof(Elf64_Ehdr)) return names;
  Elf64_Ehdr header;
  std::memcpy(&header, image.data(), sizeof header);
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64) return names;
  auto section = [&](size_t index) {
    Elf64_Shdr s;
    std::memcpy(&s, image.data() + header.e_shoff + index * header.e_shentsize, sizeof s);
    return s;
  };
  for (size_t i = 0; i < header.e_shnum; ++i) {
    Elf64_Shdr symbols = section(i);
    if (symbols.sh_type != SHT_DYNSYM) continue;
    Elf64_Shdr strings = section(symbols.sh_link);
    for (size_t offset = 0; offset + sizeof(Elf64_Sym) <= symbols.sh_size; offset += sizeof(Elf64_Sym)) {
      Elf64_Sym symbol;
      std::memcpy(&symbol, image.data() + symbols.sh_offset + offset, sizeof symbol);
      if (symbol.st_shndx == SHN_UNDEF || symbol.st_name == 0) continue;
      names.emplace_back(image.data() + strings.sh_offset + symbol.st_name);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

class CrossModule : public ::testing::Test {
 protected:
  void SetUp() override {
    m_handle = dlopen(MVN_XMODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(m_handle, nullptr) << dlerror();
    m_createText = Bind<CreateTextFn>("xm_CreateText");
    m_destroyText = Bind<DestroyTextFn>("xm_DestroyText");
    m_createList = Bind<CreateListFn>("xm_CreateList");
    m_destroyList = Bind<DestroyListFn>("xm_DestroyList");
    m_blocks = Bind<BlockCountFn>("xm_HeapBlockCount");
    m_ready = Bind<ReadyFn>("xm_StaticObjectReady");
  }
  void TearDown() override {
    if (m_handle) {
      EXPECT_EQ(dlclose(m_handle), 0) << dlerror();
    }
  }
  template <class F>
  F Bind(const char* name) {
    void* symbol = dlsym(m_handle, name);
    EXPECT_NE(symbol, nullptr) << name;
    return reinterpret_cast<F>(symbol);
  }

  void* m_handle = nullptr;
  CreateTextFn m_createText = nullptr;
  DestroyTextFn m_destroyText = nullptr;
  CreateListFn m_createList = nullptr;
  DestroyListFn m_destroyList = nullptr;
  BlockCountFn m_blocks = nullptr;
  ReadyFn m_ready = nullptr;
};

TEST_F(CrossModule, HostFillsModuleTextInTheModulesHeap) {
  ASSERT_TRUE(m_ready());
  CTEXT* text = m_createText();
  SIZE_T moduleBefore = m_blocks();
  SIZE_T hostBefore = HostBlocks();

  // This program's CTEXT code on the module's object.
  text->Assign("short");
  EXPECT_FALSE(text->IsOwned());
  EXPECT_EQ(m_blocks(), moduleBefore);
  text->Assign("longer than the sixteen inline bytes");
  text->Append(" and then some more");
  text->Append(text->Text());
  EXPECT_TRUE(text->IsOwned());
  std::string expected = "longer than the sixteen inline bytes and then some more";
  expected += expected;
  EXPECT_EQ(text->Text(), expected);
  EXPECT_GE(text->Capacity(), expected.size() + 1);
  EXPECT_EQ(m_blocks(), moduleBefore + 1);
  EXPECT_EQ(HostBlocks(), hostBefore);

  m_destroyText(text);
  EXPECT_EQ(m_blocks(), moduleBefore - 1);  // the object's own block went too
  EXPECT_EQ(HostBlocks(), hostBefore);
}

TEST_F(CrossModule, HostAddsToModuleListThroughItsSlots) {
  CSTRINGLIST* list = m_createList();
  SIZE_T moduleBefore = m_blocks();
  SIZE_T hostBefore = HostBlocks();

  // Slot 4 of the module's list, called from this program.
  EXPECT_EQ(list->Add("A=1"), 0u);
  EXPECT_EQ(list->Add("B=2"), 4u);
  EXPECT_EQ(list->Add("b=3"), 4u);  // replaces B=2 at the end
  std::vector<std::string> many;
  for (int i = 0; i < 60; ++i) {
    many.push_back("KEY" + std::to_string(i) + "=value " + std::to_string(i));
    list->Add(many.back().c_str());
  }
  EXPECT_GT(list->Capacity(), 256u);
  EXPECT_EQ(list->Count(), 62u);  // the layout: count right after the CTEXT part
  EXPECT_EQ(m_blocks(), moduleBefore + 1);
  EXPECT_EQ(HostBlocks(), hostBefore);

  // Slot 5 of the module's list.
  std::vector<std::string> entries;
  const char* cursor = nullptr;
  while (list->Next(&cursor)) entries.push_back(cursor);
  ASSERT_EQ(entries.size(), 62u);
  EXPECT_EQ(entries[0], "A=1");
  EXPECT_EQ(entries[1], "b=3");
  EXPECT_EQ(entries[61], many.back());
  EXPECT_STREQ(list->FindValue("key7"), "value 7");

  m_destroyList(list);
  EXPECT_EQ(m_blocks(), moduleBefore - 1);
  EXPECT_EQ(HostBlocks(), hostBefore);
}

TEST_F(CrossModule, ModuleExportsOnlyItsEntryPointsAndKeepsItsOwnLibrary) {
  EXPECT_EQ(DefinedDynamicSymbols(MVN_XMODULE_PATH), kExports);
  // The library's globals stay inside each deliverable.
  EXPECT_EQ(dlsym(m_handle, "g_pXXHeap"), nullptr);
  EXPECT_NE(m_blocks(), 0u);
  EXPECT_NE(static_cast<void*>(g_pXXHeap), nullptr);
}

TEST(CrossModuleLifetime, UnloadingEndsTheModulesLibrary) {
  std::terminate_handler before = std::get_terminate();
  CXXHEAP* hostHeap = g_pXXHeap;
  HANDLE hostHandle = CXXHEAP::HeapHandle();
  for (int round = 0; round < 2; ++round) {
    void* handle = dlopen(MVN_XMODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    EXPECT_EQ(g_pXXHeap, hostHeap);
    EXPECT_EQ(CXXHEAP::HeapHandle(), hostHandle);
    auto ready = reinterpret_cast<ReadyFn>(dlsym(handle, "xm_StaticObjectReady"));
    ASSERT_NE(ready, nullptr);
    EXPECT_TRUE(ready());  // built afresh on every load
    ASSERT_EQ(dlclose(handle), 0);
    // The module's terminate handler must not outlive the module.
    EXPECT_EQ(std::get_terminate(), before);
  }
}

}  // namespace
