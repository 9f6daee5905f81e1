// A helper program for the client core tests.
//   helper record ARGS...    the delivery command stand-in: writes its argv
//                            (one word per line) and a copy of each argument
//                            that names a regular file into $MVN_RECORD_DIR
//                            as <pid>.argv and <pid>.<i>, then <pid>.done.
//   helper hold PATH MS      holds PATH open with share mode 0 through the
//                            kernel (as the port monitor holds a spool file
//                            it still writes), prints "held", waits MS.
//   helper sendtime Y M D H MI   prints the UTC send line for that local
//                            time in the zone of TZ.
//   helper rtf INI PAGE OUT  writes the cover-page blocks of PAGE (client
//                            INI file INI, message "Hi") into the request
//                            OUT and prints how many kilobytes the peak
//                            memory of the process grew meanwhile.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "client/core/request.h"
#include "client/core/rtf.h"
#include "framework/core/strings.h"
#include "platform/kernel/win32.h"

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "record") == 0) {
    const char* dir = getenv("MVN_RECORD_DIR");
    if (!dir) return 2;
    std::string base = std::string(dir) + "/" + std::to_string(getpid());
    std::ofstream words(base + ".argv", std::ios::binary);
    for (int i = 0; i < argc; ++i) {
      words << argv[i] << "\n";
      struct stat st {};
      if (i >= 2 && stat(argv[i], &st) == 0 && S_ISREG(st.st_mode)) {
        std::ifstream in(argv[i], std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::ofstream(base + "." + std::to_string(i), std::ios::binary) << bytes;
      }
    }
    words.close();
    std::ofstream(base + ".done") << "";
    return 0;
  }
  if (argc == 4 && std::strcmp(argv[1], "hold") == 0) {
    HANDLE h = CreateFileA(argv[2], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return 3;
    std::printf("held\n");
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(std::atoi(argv[3])));
    CloseHandle(h);
    return 0;
  }
  if (argc == 7 && std::strcmp(argv[1], "sendtime") == 0) {
    int32_t date = mvn::framework::Date(std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[2]));
    int32_t time = mvn::framework::Time(std::atoi(argv[5]), std::atoi(argv[6]), 0);
    std::printf("%s\n", mvn::client::SendTimeLine(date, time, true).c_str());
    return 0;
  }
  if (argc == 5 && std::strcmp(argv[1], "rtf") == 0) {
    mvn::framework::IniFile ini(argv[2]);
    mvn::client::RequestFile request;
    if (!request.Create(argv[4])) return 3;
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    bool ok = mvn::client::BuildCoverPageRtf(request, ini, argv[3], "Hi", true);
    getrusage(RUSAGE_SELF, &after);
    if (!request.Close() || !ok) return 4;
    std::printf("%ld\n", after.ru_maxrss - before.ru_maxrss);
    return 0;
  }
  return 2;
}
