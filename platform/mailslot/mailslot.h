// Mailslots over AF_UNIX datagram sockets below the machine's root.
//
// A mailslot is a one-way message queue with one reader (the server that
// created it) and any number of writers. "\\.\mailslot\a\b" is the socket
// <root>/mailslot/a/b; components compare without case (ASCII letters are
// folded to lower case), so "mvnRender" and "mvnrender" are one slot. One
// datagram is one message: a reader always gets a whole message, never a
// part of one.
//
// Server:  CreateMailslotA, then ReadFile (one whole message per call,
//          waiting up to the read time-out) and CloseHandle.
// Writer:  CreateFileA on the mailslot name (OPEN_EXISTING, GENERIC_WRITE),
//          then WriteFile (one message per call, never blocking) and
//          CloseHandle. Any program that links mvn_mailslot gets the
//          "\\.\mailslot\" names of CreateFileA, writers included.
//
// Errors (GetLastError):
//   CreateMailslotA  ERROR_ALREADY_EXISTS   the slot is served by a live server
//                    ERROR_INVALID_NAME     not "\\.\mailslot\..." or a bad component
//                    ERROR_ACCESS_DENIED    a stale slot of another user is in the way,
//                                           or a directory on the way belongs to a
//                                           user other than root
//   CreateFileA      ERROR_FILE_NOT_FOUND   no server reads the slot (also: the lock
//                                           file is not a regular file of the
//                                           socket's owner)
//                    ERROR_ACCESS_DENIED    the slot does not accept this user
//   WriteFile        ERROR_INVALID_PARAMETER  longer than the server's maximum
//                    ERROR_BUSY             the slot's queue is full (nothing sent)
//                    ERROR_FILE_NOT_FOUND   the server has gone away
//   ReadFile         ERROR_TIMEOUT          nothing arrived within the read time-out
//                    ERROR_INSUFFICIENT_BUFFER  the next message is longer than the
//                                           buffer; it stays queued
// See docs/platform-mailslot.md for the files a slot consists of.
#pragma once

#include <sys/types.h>

#include "platform/kernel/win32.h"

constexpr DWORD MAILSLOT_WAIT_FOREVER = 0xFFFFFFFFu;

// maxMessageSize 0 accepts messages of any size the socket can carry.
// readTimeout in milliseconds, 0 for no wait, MAILSLOT_WAIT_FOREVER.
// security is not used: a new slot accepts messages from its owner only
// (root can always write); see MailslotAllowWriter.
HANDLE CreateMailslotA(LPCSTR name, DWORD maxMessageSize, DWORD readTimeout, LPSECURITY_ATTRIBUTES security);

// Lets the user uid write to the slot the server handle serves. Uses an
// access-control entry on the slot's socket; on a file system without
// access-control lists the socket becomes writable by every local user, and
// the server must then judge senders by MailslotLastSender (which it should
// do anyway). TRUE when the user can write afterwards.
BOOL MailslotAllowWriter(HANDLE mailslot, uid_t uid);

// Who sent the message the last successful ReadFile on a server handle
// returned: the credentials the operating system attached to it, and the
// sending socket's address. Every writer handle has an address of its own,
// so two messages with equal endpoints came through the same CreateFileA
// handle (endpointLength 0: the sender had no address).
struct MAILSLOT_SENDER {
  uid_t uid;
  gid_t gid;
  pid_t pid;
  DWORD endpointLength;
  unsigned char endpoint[108];
};
BOOL MailslotLastSender(HANDLE mailslot, MAILSLOT_SENDER* sender);
// Shorthand of MailslotLastSender; either pointer may be null.
BOOL MailslotLastSender(HANDLE mailslot, uid_t* uid, pid_t* pid);

// The user owning the socket a writer handle reached (the user who serves
// the slot). A writer that must reach a particular user's server checks
// this before it sends anything.
BOOL MailslotServerOwner(HANDLE writer, uid_t* owner);

// Makes <root>/mailslot and the directories of name ("\\.\mailslot\a\b"
// makes a/ and a/b/), each with mode 01777, owned by the caller. Only root
// or the owner of the machine's root may; a service running as root calls
// this at start so that no user owns a folder where other users' slots
// live. ERROR_ACCESS_DENIED when a directory on the way belongs to another
// user.
BOOL CreateMailslotDirectory(LPCSTR name);

// Makes the folder of name ("\\.\mailslot\a\<user>" makes a/<user>/)
// for one user's slots: its folders above are the caller's, mode 0755 (one
// made shared before loses its sticky and write bits), and the folder
// itself is uid's (group gid), mode 0755, so only that user can serve a
// slot in it. Whatever else stands under the name is moved aside. Only root
// or the owner of the machine's root may; the spooler service makes each
// user's launcher folder so on request.
BOOL CreateMailslotUserDirectory(LPCSTR name, uid_t uid, gid_t gid);
