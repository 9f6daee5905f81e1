// The whole road from the client: Dashpost's real main window, operated
// offscreen by dashpost_drive (a recipient typed, a cover-page message,
// the command line's file as the attachment, Send Fax pressed), hands its
// request to mvncsend with dlvlocal; the frame lands in the intake folder
// and the independent job decoder finds the request's lines and the
// attachment byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;
using mvntest::ReadFile;
using mvntest::WriteFile;

namespace {
std::string Quote(const std::string& text) { return "'" + text + "'"; }
}  // namespace

TEST(DashpostRoad, ASendFromTheMainWindowLandsInTheIntake) {
  mvntest::TempDir dir;
  fs::create_directories(dir / "root/windows");
  fs::create_directories(dir / "client");
  fs::create_directories(dir / "home");
  // The driver runs as "dashpost" (its INI file is dashpost's), copied, as
  // the program path is the resolved one.
  fs::create_directories(dir / "bin");
  fs::copy_file(DASHPOST_DRIVE_PATH, dir / "bin/dashpost");
  std::string document = "%!PS-Adobe-3.0\n%%Pages: 1\n72 720 moveto (Invoice 2003-1224) show\nshowpage\n";
  WriteFile(dir / "client/invoice.ps", document);
  WriteFile(dir / "mvncsend.ini", "[mvncsend]\r\nDeliveryModule=" + std::string(MVN_DLVLOCAL_PATH) +
                                      "\r\nWorkingPath=" + dir / "work" + "\r\nOutputLocation=" + dir / "intake" +
                                      "\r\nYourName=Ann Smith\r\nYourEmailAddress=ann@example.test\r\n");
  WriteFile(dir / "root/windows/dashpost.INI",
            "[Database]\nPathname=" + dir / "book" + "\n[Default]\nMandatoryCharge=NO\nSENDLOG=NO\n"
            "DisplayConfirmScreen=NO\nDisplayBroadCastMessage=NO\nDefaultPriority=HIGH\n[Files]\nDeliveryCommand=" +
                std::string(MVN_SENDCLIENT_PATH) + " CONFIG=" + dir / "mvncsend.ini" + " %1\n");
  std::string out;
  int code = mvntest::RunShell("cd " + Quote(dir.str()) + " && MVN_ROOT=" + Quote(dir / "root") + " HOME=" +
                                   Quote(dir / "home") + " MVN_DIALOGS=headless QT_QPA_PLATFORM=offscreen " +
                                   "LC_ALL=C.UTF-8 DASHPOST_DRIVE_TO='Bob Jones' " + Quote(dir / "bin/dashpost") + " " +
                                   Quote(dir / "client/invoice.ps") + " 2>&1",
                               &out);
  ASSERT_EQ(code, 0) << out;
  EXPECT_NE(out.find("presses Send Fax"), std::string::npos) << out;
  std::vector<fs::path> frames;
  ASSERT_TRUE(mvntest::WaitFor(
      [&] {
        frames.clear();
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(dir / "intake", ec))
          if (e.path().filename().string().rfind("MVN", 0) == 0) frames.push_back(e.path());
        return frames.size() == 1;
      },
      std::chrono::seconds(30)))
      << out;
  // The client ended after the send; the send client finishes on its own.
  std::string frame = ReadFile(frames[0].string());
  const std::string trailer = "!MVN-END\r\n";
  size_t start = frame.find("SENDER-ADDRESS=ann@example.test\r\n");
  ASSERT_NE(start, std::string::npos) << frame.substr(0, 300);
  start = frame.find("\r\n", start) + 2;
  ASSERT_EQ(frame.compare(frame.size() - trailer.size(), trailer.size(), trailer), 0);
  WriteFile(dir / "job.bin", frame.substr(start, frame.size() - start - trailer.size()));
  std::string decoded;
  ASSERT_EQ(mvntest::RunShell("/usr/bin/python3 " + Quote(MVN_JOBDECODE) + " " + Quote(dir / "job.bin") + " " +
                                  Quote(dir / "decoded") + " 2>&1",
                              &decoded),
            0)
      << decoded;
  for (const char* line : {"\"line\": \"From:Ann Smith\"", "\"line\": \"Priority:HIGH\"", "Destination:+44 20 7946 0000",
                           "To:Bob Jones", "\"display_name\": \"invoice.ps\""})
    EXPECT_NE(decoded.find(line), std::string::npos) << line << "\n" << decoded;
  bool found = false;
  for (const auto& e : fs::directory_iterator(dir / "decoded"))
    if (ReadFile(e.path().string()) == document) found = true;
  EXPECT_TRUE(found) << "the attachment arrives byte for byte";
}
