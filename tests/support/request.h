// Test support: a request file of the client's shape (one passthrough block
// with one target) carrying the given "!ExtAttachment" lines, and the send
// of such a request through an SMTP delivery module.
#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/tempdir.h"

namespace mvntest {

inline std::string SampleRequest(const std::vector<std::string>& attachmentLines) {
  std::string text =
      "!MVN - DASHPOST V5.0\r\n\r\n!PASSTHROUGH\r\nFrom:Ann Smith\r\nUserId:ann@desk.example\r\n\r\n"
      "!TARGET\r\nDestination:+44 20 7946 0000\r\nTo:Bob Jones\r\n\r\n!PASSTHROUGH-END\r\n";
  for (const std::string& line : attachmentLines) text += line + "\r\n";
  return text + "!MVN-END\r\n";
}

// What the mail road tests send: a small PostScript document and 300,000
// random bytes, each the attachment of one sample request.
struct SmtpRoadSend {
  std::string document = "%!PS-Adobe-3.0\r\n/Helvetica findfont 12 scalefont setfont\r\nshowpage\r\n";
  std::string image;
  std::string output;  // mvncsend's output and its message boxes
  int code = -1;       // mvncsend's exit code
};
// Writes the two attachments, the request naming them and mvncsend.INI
// (the delivery module, the sender's SMTP settings for 127.0.0.1 and the
// extra lines) below root, and runs the send client on the request.
inline SmtpRoadSend SendBySmtpModule(const TempDir& root, const std::string& mvncsend, const std::string& module,
                                     const std::string& extraIni = "") {
  SmtpRoadSend sent;
  sent.image.assign(300000, '\0');
  std::mt19937 random(5);
  for (char& c : sent.image) c = static_cast<char>(random());
  std::filesystem::create_directories(root / "windows");
  WriteFile(root / "windows/mvncsend.INI",
            "[mvncsend]\r\nWorkingPath=" + root / "work" + "\r\nDeliveryModule=" + module +
                "\r\nSMTPServer=127.0.0.1\r\nSMTPSendTo=fax@server.example\r\nSMTPSentFrom=ann@desk.example\r\n"
                "SMTPReplyTo=ann@desk.example\r\nYourEmailAddress=ann@desk.example\r\nYourName=Ann Smith\r\n" +
                extraIni);
  WriteFile(root / "doc.ps", sent.document);
  WriteFile(root / "scan.bin", sent.image);
  WriteFile(root / "Faxout.tmp",
            SampleRequest({"!ExtAttachment,doc.ps," + root / "doc.ps", "!ExtAttachment,scan.bin," + root / "scan.bin"}));
  sent.code = RunProgram({mvncsend, root / "Faxout.tmp"},
                         {{"MVN_ROOT", root.str()}, {"MVN_MESSAGEBOX_LOG", root / "boxes.log"}, {"MVN_DIALOGS", "headless"}},
                         &sent.output);
  sent.output += ReadFile(root / "boxes.log");
  return sent;
}

}  // namespace mvntest
