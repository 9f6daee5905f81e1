// A browser stand-in: appends its arguments, one line per run, to the file
// named by MVN_TEST_RECORD.
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  const char* file = std::getenv("MVN_TEST_RECORD");
  if (!file) return 1;
  std::FILE* f = std::fopen(file, "a");
  if (!f) return 1;
  for (int i = 1; i < argc; ++i) std::fprintf(f, "%s%s", i > 1 ? "|" : "", argv[i]);
  std::fprintf(f, "\n");
  std::fclose(f);
  return 0;
}
