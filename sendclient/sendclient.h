// mvncsend: the send client's application object. It reads its switches
// and configuration, prepares the working directories, loads the delivery
// module and then either turns its input into a job file and sends it, or
// (without input) opens the module's configuration dialog.
#pragma once

#include "lib/bufferedfile.h"
#include "lib/cxxapp.h"
#include "sendclient/deliverymodule.h"

// Notifications of source SendClient.
constexpr DWORD NOTIFY_SENDFILEERROR = 0x1101;

// Send types: how the input is wrapped into the job.
constexpr DWORD SENDTYPE_INPUT = 0;     // request file, or any file as MORVANE
constexpr DWORD SENDTYPE_MORVANE = 1;
constexpr DWORD SENDTYPE_GATEWAY = 2;
constexpr DWORD SENDTYPE_REGISTER = 3;
constexpr DWORD SENDTYPE_GROUPDATA = 4;

// The sender's clock as SENDER-TIME gives it: seconds since 1970-01-01 UTC,
// modulo 2^32. The environment variable MVN_SENDER_TIME (decimal seconds
// since 1970) fixes the clock, so that job files can be compared byte for
// byte.
DWORD SenderTime();
// The same arithmetic on a count of 100-nanosecond intervals since
// 1601-01-01 UTC.
DWORD SenderTimeFromFileTime(ULONGLONG intervals);

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
  bool build_and_send_job();

 private:
  bool write_input_body(CBUFFEREDREADER* input, CBUFFEREDWRITER* job);
  bool embed_attachment(const char* line, CBUFFEREDREADER* input, CBUFFEREDWRITER* job);
  bool write_section(CFILE* source, CBUFFEREDWRITER* job, const char* name, const char* displayName);

  // Finishes a built job: compression, gateway wrapper, SendFile; the job
  // file is deleted after a send and kept in WorkingPathX otherwise.
  void send_job(CPATH* jobFile);
  // Moves a file into a shared directory (WorkingPathX, KeepFilesPath).
  bool move_to(CPATH* file, const CPATH& directory);
  // Where kept files go: KeepFilesPath, or WorkingPathX when KeepFilesPath
  // was configured but could not be created; nullptr when not configured.
  const CPATH* keep_directory() const;
  // The input after its job: kept or deleted.
  void dispose_of_input(CPATH* input);

  bool read_directory(CCONFIG* config, const char* key, CPATH* destination);
  bool make_job_directory();

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
  bool m_jobIncomplete;   // the job file lacks data of its input (I/O failure)
};
