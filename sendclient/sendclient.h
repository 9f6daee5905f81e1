// mvncsend: the send client's application object. It reads its switches
// and configuration, prepares the working directories, loads the delivery
// module and then either turns its input into a job file and sends it, or
// (without input) opens the module's configuration dialog.
#pragma once

#include <string>
#include <vector>

#include "lib/bufferedfile.h"
#include "lib/checkedwriter.h"
#include "lib/cxxapp.h"
#include "sendclient/deliverymodule.h"
#include "sendclient/runlock.h"

// Notifications of source SendClient.
constexpr DWORD NOTIFY_SENDFILEERROR = 0x1101;   // %1 module's result, %2 job, %3 input
constexpr DWORD NOTIFY_INPUTNOTFOUND = 0x1102;   // %1 input path
constexpr DWORD NOTIFY_NOTREGULARFILE = 0x1103;  // %1 path
constexpr DWORD NOTIFY_JOBKEPT = 0x1104;         // %1 what failed, %2 job, %3 input
constexpr DWORD NOTIFY_JOBNOTCREATED = 0x1105;   // %1 job directory, %2 system error, %3 input
constexpr DWORD NOTIFY_CONFIGNOTFOUND = 0x1106;  // %1 configuration path
constexpr DWORD NOTIFY_NOINPUT = 0x1107;         // %1 input directory, %2 mask
constexpr DWORD NOTIFY_INPUTUNREADABLE = 0x1108; // %1 input path, %2 system error
constexpr DWORD NOTIFY_RUNLEFT = 0x1109;         // %1 request, %2 how far it got, %3 where it is

// Send types: how the input is wrapped into the job.
constexpr DWORD SENDTYPE_INPUT = 0;     // request file, or any file as MORVANE
constexpr DWORD SENDTYPE_MORVANE = 1;
constexpr DWORD SENDTYPE_GATEWAY = 2;
constexpr DWORD SENDTYPE_REGISTER = 3;
constexpr DWORD SENDTYPE_GROUPDATA = 4;

namespace mvn::sendclient {

// The sender's clock as SENDER-TIME gives it: seconds since 1970-01-01 UTC,
// modulo 2^32. The environment variable MVN_SENDER_TIME (decimal seconds
// since 1970) fixes the clock, so that job files can be compared byte for
// byte.
DWORD SenderTime();
// The same arithmetic on a count of 100-nanosecond intervals since
// 1601-01-01 UTC.
DWORD SenderTimeFromFileTime(ULONGLONG intervals);

// The regular file a name stands for now (a link followed): its volume and
// index; false when there is none.
bool FileIdentity(const char* path, DWORD* volume, ULONGLONG* index);

}  // namespace mvn::sendclient

class SendClient : public CXXAPP {
 public:
  SendClient();

  // Slots 4 and 5: shown in a message box when interactive and visible.
  void Report(void* context, NOTIFYEXPANDER expander, void* reserved, DWORD id, const char* p1, const char* p2,
              const char* p3) override;
  void Notify(DWORD id, const char* p1, const char* p2, const char* p3) override;
  // Slots 6 to 9.
  bool ProcessArgument(DWORD index, CTEXT* word) override;
  bool Initialise(CCONFIG* config) override;
  void Run() override;
  void Shutdown() override;

  // The job builder (jobbuilder.cpp): builds, sends and disposes of the job
  // for the current input file; true when the job's body was built.
  bool BuildAndSendJob();

 private:
  bool WriteInputBody(CBUFFEREDREADER* input, mvn::CheckedWriter* job);
  bool EmbedAttachment(const char* line, CBUFFEREDREADER* input, mvn::CheckedWriter* job);
  // what names the source in messages (an attachment's display name and
  // path, or the input's path).
  bool WriteSection(CBUFFEREDREADER* source, mvn::CheckedWriter* job, const char* name, const char* displayName,
                    const char* what);

  // Finishes a built job: compression, gateway wrapper, SendFile. True when
  // the module took it (the job file is then deleted); otherwise the job
  // is in WorkingPathX and jobFile names it there.
  bool SendJob(CPATH* jobFile);
  // Moves a file into a shared directory (WorkingPathX, KeepFilesPath).
  bool MoveTo(CPATH* file, const CPATH& directory);
  // Where kept files go: KeepFilesPath (or <WorkingPath>/K for KeepFiles
  // without it), or WorkingPathX when KeepFilesPath was configured but
  // could not be created; nullptr when nothing is kept.
  const CPATH* KeepDirectory() const;
  // The input after a job the module took: kept or deleted.
  void DisposeOfInput(CPATH* input);
  // The input of a job that was not sent: back where it came from when
  // that name is free, else into WorkingPathX beside the job.
  void KeepInput(CPATH* input, const char* original, const CPATH* jobInX);
  // The attachments embedded in a job the module took: kept or deleted.
  void DisposeOfAttachments();
  // Records the first failure of the current job (later ones are
  // consequences of it).
  void Fail(const char* what, const char* path, DWORD error);

  // The record of the current job in the job folder, and what a later run
  // does with the folders of runs that were killed (recovery.cpp).
  bool WriteRecord(const char* phase);
  void ClearRecord();
  // Moves the input (open in reader) into WorkingPathI, recorded first.
  bool MoveIntoInputPath(CPATH* input, CFILE* reader);
  void RecoverLeftRuns(const CPATH& working);
  void RecoverFolder(const char* folder, DWORD pid);

  bool ReadDirectory(CCONFIG* config, const char* key, CPATH* destination);
  bool MakeJobDirectory();
  void RegisterTexts();

 public:
  CPATH m_inputDirectory;
  CPATH m_attachPath;
  CPATH m_jobDirectory;
  CPATH m_inputPath;
  CPATH m_failedPath;
  CPATH m_keepPath;
  bool m_keepFiles;
  DWORD m_sendType;
  CPATH m_inputFile;
  CTEXT m_rejectedArgument;
  CTEXTBUF32 m_listName;
  CDELIVERYMODULE m_module;
  bool m_externalAttachments;
  bool m_compressSections;
  DWORD m_sectionEncoding;
  CTEXTBUF8 m_inputFileMask;
  CTEXTBUF64 m_identityToken;
  bool m_interactive;
  bool m_compressJob;
  DWORD m_jobEncoding;

 private:
  bool m_bareWordSeen;
  bool m_keepPathFailed;  // KeepFilesPath was set but could not be made
  bool m_notRegular;      // the rejected bare word names a FIFO, socket or device
  bool m_sent;            // the current job was taken by the module
  bool m_refused;         // the module was handed the job and refused it
  CTEXT m_failure;        // why the current job was not sent (first failure)
  // An attachment embedded in the current job: its path and the file it
  // was when it was read (volume and index), so that a file named twice is
  // disposed of once, and a file put under its name meanwhile is left.
  struct EMBEDDED {
    std::string path;
    DWORD volume;
    ULONGLONG index;
  };
  std::vector<EMBEDDED> m_embedded;
  // The current job's request: its own path, its name in WorkingPathI and
  // the file it is.
  struct RECORD {
    std::string request;
    std::string moved;
    DWORD volume = 0;
    ULONGLONG index = 0;
  };
  RECORD m_record;
  mvn::sendclient::RunLock m_runLock;  // held on the job folder for the run's life
};
