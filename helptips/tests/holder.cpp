// Opens a tip file of the old layout exclusively, creates <marker> once it
// holds it, and keeps it until its standard input ends.
#include <cstdio>
#include <fstream>

#include "helptips/tipfile.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  auto old = mvn::helptips::MakeTipFileOld(argv[1]);
  old->SetCreate(false);
  if (old->TryOpen(mvn::framework::Exclusive) != 0) return 1;
  std::ofstream(argv[2]) << "open\n";
  while (std::getchar() != EOF) {
  }
  old->Close();
  return 0;
}
