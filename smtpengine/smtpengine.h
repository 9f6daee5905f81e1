// The SMTP engine: numbered channels, each holding one SMTP server session
// with its own socket, buffers, addresses, time-outs and log file. Every
// operation takes the channel first and returns a signed 32-bit result: 0
// or above for success, a negative engine code (text: smeErrorText) or a
// negated Winsock error number for failure. No operation throws.
//
// A protocol operation prepares its channel and then drives the channel's
// state machine step by step until it reaches a final state (integer
// parameter 9 = 1, the default); with parameter 9 = 0 the operation only
// prepares the channel and the caller advances it with smeStep.
//
// The engine is built into dlvsmtp as a static library.
#pragma once

#include <cstdint>

namespace mvn::smtpengine {

using SMERESULT = std::int32_t;

constexpr int SME_MAX_CHANNELS = 128;
constexpr int SME_BLOCKS_PER_CHANNEL = 26;
// smeDebug with a NULL buffer and this size checks the guard bytes of
// memory block (channel * 26 + index) instead.
constexpr std::int32_t SME_GUARD_CHECK_SIZE = -26;

// Attaches channels 0 .. count-1 for the process (1 to 128) and starts the
// socket layer. 1; -72 already attached; -73 more than 128; -55 out of
// memory; the negated socket error when the socket layer cannot start.
SMERESULT smeAttach(std::int32_t channels);
// Closes every channel's log and socket, frees the channels and stops the
// socket layer. Always 1.
SMERESULT EngineRelease();

SMERESULT smeSmtpConnect(std::int32_t channel, const char* server, const char* from, const char* replyTo);
SMERESULT smeSendEmail(std::int32_t channel, const char* to, const char* cc, const char* bcc, const char* subject,
                       const char* message, const char* attachments);
SMERESULT smeClose(std::int32_t channel);
SMERESULT smeVerifyUser(std::int32_t channel, const char* addresses);
// One step of the channel's state machine, for callers that set parameter
// 9 to 0: above 0 while the operation goes on (call again), 0 when it is
// done, negative when it failed.
SMERESULT smeStep(std::int32_t channel);

SMERESULT smeIntegerParam(std::int32_t channel, std::int32_t key, std::int32_t value);
SMERESULT smeStringParam(std::int32_t channel, std::int32_t key, const char* text);
SMERESULT smeVerifyFormat(const char* address);
SMERESULT smeErrorText(std::int32_t channel, std::int32_t code, char* buffer, std::int32_t size);
SMERESULT smeDebug(std::int32_t channel, std::int32_t index, char* buffer, std::int32_t size);
SMERESULT smeGetCounter(std::int32_t channel, std::int32_t index);

// POP3 side. smePop3Connect logs on (mode 'P'); the others need that mode
// (-59). Message numbers start at 1 (-64 otherwise).
SMERESULT smePop3Connect(std::int32_t channel, const char* server, const char* user, const char* password);
SMERESULT smeGetEmailCount(std::int32_t channel);
SMERESULT smeGetEmailSize(std::int32_t channel, std::int32_t message);
SMERESULT smeDelete(std::int32_t channel, std::int32_t message);
// The status line and the first lines of a message ("TOP") into the
// buffer (not terminated); the bytes stored.
SMERESULT smeGetEmailLines(std::int32_t channel, std::int32_t message, std::int32_t lines, char* buffer,
                           std::int32_t size);
// Fetches a message into mailDir/fileName while the MIME reader writes its
// attachments into attachDir; 0 when the whole message was saved.
SMERESULT smeGetEmailFile(std::int32_t channel, std::int32_t message, const char* fileName, const char* mailDir,
                          const char* attachDir);
// The unique-id lines (message below 1: all of them), terminated.
SMERESULT smeGetEmailUID(std::int32_t channel, std::int32_t message, char* buffer, std::int32_t size);

// Buffer helpers. Outputs of smeLineWith and smeLineAt hold at most
// size - 1 bytes and are terminated.
SMERESULT smeLineWith(const char* buffer, const char* text, char* output, std::int32_t size);
SMERESULT smeLineAt(const char* buffer, std::int32_t line, char* output, std::int32_t size);
// Base64 in lines of 57 input bytes (76 characters and CR LF); the output
// needs room for (length + 56) / 57 * 78 bytes and is not terminated.
SMERESULT smeEncodeLines(const char* data, char* output, std::int32_t length);
// Decodes base64 lines (CR and LF between them skipped); the output needs
// room for length * 3 / 4 bytes. The bytes decoded.
SMERESULT smeDecodeLines(const char* encoded, char* output, std::int32_t length);

// Readiness of a socket of the engine, tested without waiting: flag 1
// readable, 2 writable, 3 error condition; 1 or 0; -5 for another flag.
SMERESULT smeStatus(std::uintptr_t socket, std::int32_t flag);

// The engine's state-machine step itself (smeStep is the same call).
SMERESULT EngineStateMachine(std::int32_t channel);

}  // namespace mvn::smtpengine
