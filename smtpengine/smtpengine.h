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

// Readiness of a socket of the engine, tested without waiting: flag 1
// readable, 2 writable, 3 error condition; 1 or 0; -5 for another flag.
SMERESULT smeStatus(std::uintptr_t socket, std::int32_t flag);

// The engine's state-machine step itself (smeStep is the same call).
SMERESULT EngineStateMachine(std::int32_t channel);

}  // namespace mvn::smtpengine
