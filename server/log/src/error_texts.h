#pragma once
// Built-in texts for error codes that have no dependable system message on every target.

#include <cstdint>
#include <string>

namespace kvlog::internal {

// "WSAECONNREFUSED Connection refused." for the Windows Sockets codes; empty when unknown.
std::string WsaErrorText(int code);
// "The logon attempt failed (SEC_E_LOGON_DENIED)" for security-package status codes; empty
// when unknown.
std::string SspErrorText(uint32_t status);

}  // namespace kvlog::internal
