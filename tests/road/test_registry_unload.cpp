// A module that links its own copy of the registry layer is loaded, used and
// unloaded again and again: every unload must give back the layer's state,
// its handles and its hive connections (LeakSanitizer checks the memory,
// /proc/self/fd the hive files).
#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/tempdir.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define MVN_HAVE_LSAN 1
#endif

namespace {

namespace fs = std::filesystem;

// Descriptors of this process open on a file below directory.
int OpenFilesBelow(const std::string& directory) {
  int count = 0;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd", ignored)) {
    std::error_code error;
    fs::path target = fs::read_symlink(entry.path(), error);
    if (!error && target.string().rfind(directory, 0) == 0) ++count;
  }
  return count;
}

TEST(RegistryUnload, EachUnloadGivesBackStateHandlesAndHives) {
  mvntest::TestRoot root;
  const std::string registry = fs::canonical(root.str()).string() + "/registry/";
  for (int round = 0; round < 3; ++round) {
    void* module = dlopen(MVN_REGISTRY_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto use = reinterpret_cast<long (*)(const char*)>(dlsym(module, "UseRegistry"));
    ASSERT_NE(use, nullptr);
    const std::string text = "round " + std::to_string(round);
    EXPECT_EQ(use(text.c_str()), 0);
    EXPECT_GT(OpenFilesBelow(registry), 0);  // the hives are open while it is loaded
    ASSERT_EQ(dlclose(module), 0);
    // Really gone (built without unique symbols), so its state must be too.
    void* probe = dlopen(MVN_REGISTRY_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD);
    if (probe) dlclose(probe);
    ASSERT_EQ(probe, nullptr) << "the module stayed loaded";
    EXPECT_EQ(OpenFilesBelow(registry), 0) << "a hive connection outlived the module";
#ifdef MVN_HAVE_LSAN
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "the unloaded module leaked (report above)";
#endif
  }
  EXPECT_TRUE(fs::exists(registry + "HKLM.db"));
}

}  // namespace
