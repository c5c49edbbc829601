#include "error_texts.h"

#include <iterator>

namespace kvlog::internal {
namespace {

struct CodeText {
    uint32_t code;
    const char* name;
    const char* description;
};

constexpr CodeText kWsaTexts[] = {
    {6, "WSA_INVALID_HANDLE", "Specified event object handle is invalid."},
    {8, "WSA_NOT_ENOUGH_MEMORY", "Insufficient memory available."},
    {87, "WSA_INVALID_PARAMETER", "One or more parameters are invalid."},
    {995, "WSA_OPERATION_ABORTED", "Overlapped operation aborted."},
    {996, "WSA_IO_INCOMPLETE", "Overlapped I/O event object not in signaled state."},
    {997, "WSA_IO_PENDING", "Overlapped operations will complete later."},
    {10004, "WSAEINTR", "Interrupted function call."},
    {10009, "WSAEBADF", "File handle is not valid."},
    {10013, "WSAEACCES", "Permission denied."},
    {10014, "WSAEFAULT", "Bad address."},
    {10022, "WSAEINVAL", "Invalid argument."},
    {10024, "WSAEMFILE", "Too many open files."},
    {10035, "WSAEWOULDBLOCK", "Resource temporarily unavailable."},
    {10036, "WSAEINPROGRESS", "Operation now in progress."},
    {10037, "WSAEALREADY", "Operation already in progress."},
    {10038, "WSAENOTSOCK", "Socket operation on nonsocket."},
    {10039, "WSAEDESTADDRREQ", "Destination address required."},
    {10040, "WSAEMSGSIZE", "Message too long."},
    {10041, "WSAEPROTOTYPE", "Protocol wrong type for socket."},
    {10042, "WSAENOPROTOOPT", "Bad protocol option."},
    {10043, "WSAEPROTONOSUPPORT", "Protocol not supported."},
    {10044, "WSAESOCKTNOSUPPORT", "Socket type not supported."},
    {10045, "WSAEOPNOTSUPP", "Operation not supported."},
    {10046, "WSAEPFNOSUPPORT", "Protocol family not supported."},
    {10047, "WSAEAFNOSUPPORT", "Address family not supported by protocol family."},
    {10048, "WSAEADDRINUSE", "Address already in use."},
    {10049, "WSAEADDRNOTAVAIL", "Cannot assign requested address."},
    {10050, "WSAENETDOWN", "Network is down."},
    {10051, "WSAENETUNREACH", "Network is unreachable."},
    {10052, "WSAENETRESET", "Network dropped connection on reset."},
    {10053, "WSAECONNABORTED", "Software caused connection abort."},
    {10054, "WSAECONNRESET", "Connection reset by peer."},
    {10055, "WSAENOBUFS", "No buffer space available."},
    {10056, "WSAEISCONN", "Socket is already connected."},
    {10057, "WSAENOTCONN", "Socket is not connected."},
    {10058, "WSAESHUTDOWN", "Cannot send after socket shutdown."},
    {10059, "WSAETOOMANYREFS", "Too many references."},
    {10060, "WSAETIMEDOUT", "Connection timed out."},
    {10061, "WSAECONNREFUSED", "Connection refused."},
    {10062, "WSAELOOP", "Cannot translate name."},
    {10063, "WSAENAMETOOLONG", "Name too long."},
    {10064, "WSAEHOSTDOWN", "Host is down."},
    {10065, "WSAEHOSTUNREACH", "No route to host."},
    {10066, "WSAENOTEMPTY", "Directory not empty."},
    {10067, "WSAEPROCLIM", "Too many processes."},
    {10068, "WSAEUSERS", "User quota exceeded."},
    {10069, "WSAEDQUOT", "Disk quota exceeded."},
    {10070, "WSAESTALE", "Stale file handle reference."},
    {10071, "WSAEREMOTE", "Item is remote."},
    {10091, "WSASYSNOTREADY", "Network subsystem is unavailable."},
    {10092, "WSAVERNOTSUPPORTED", "Winsock.dll version out of range."},
    {10093, "WSANOTINITIALISED", "Successful WSAStartup not yet performed."},
    {10101, "WSAEDISCON", "Graceful shutdown in progress."},
    {10102, "WSAENOMORE", "No more results."},
    {10103, "WSAECANCELLED", "Call has been canceled."},
    {10104, "WSAEINVALIDPROCTABLE", "Procedure call table is invalid."},
    {10105, "WSAEINVALIDPROVIDER", "Service provider is invalid."},
    {10106, "WSAEPROVIDERFAILEDINIT", "Service provider failed to initialize."},
    {10107, "WSASYSCALLFAILURE", "System call failure."},
    {10108, "WSASERVICE_NOT_FOUND", "Service not found."},
    {10109, "WSATYPE_NOT_FOUND", "Class type not found."},
    {10110, "WSA_E_NO_MORE", "No more results."},
    {10111, "WSA_E_CANCELLED", "Call was canceled."},
    {10112, "WSAEREFUSED", "Database query was refused."},
    {11001, "WSAHOST_NOT_FOUND", "Host not found."},
    {11002, "WSATRY_AGAIN", "Nonauthoritative host not found."},
    {11003, "WSANO_RECOVERY", "This is a nonrecoverable error."},
    {11004, "WSANO_DATA", "Valid name, no data record of requested type."},
};

constexpr CodeText kSspTexts[] = {
    {0x00000000, "SEC_E_OK", "The operation completed successfully"},
    {0x00090312, "SEC_I_CONTINUE_NEEDED",
     "The function completed successfully, but must be called again to complete the context"},
    {0x00090313, "SEC_I_COMPLETE_NEEDED",
     "The function completed successfully, but CompleteToken must be called"},
    {0x00090314, "SEC_I_COMPLETE_AND_CONTINUE",
     "The function completed successfully, but both CompleteToken and this function must be "
     "called to complete the context"},
    {0x00090315, "SEC_I_LOCAL_LOGON",
     "The logon was completed, but no network authority was available"},
    {0x00090317, "SEC_I_CONTEXT_EXPIRED", "The context has expired and can no longer be used"},
    {0x00090320, "SEC_I_INCOMPLETE_CREDENTIALS",
     "The credentials supplied were not complete, and could not be verified"},
    {0x00090321, "SEC_I_RENEGOTIATE", "The context data must be renegotiated with the peer"},
    {0x80090300, "SEC_E_INSUFFICIENT_MEMORY",
     "Not enough memory is available to complete this request"},
    {0x80090301, "SEC_E_INVALID_HANDLE", "The handle specified is invalid"},
    {0x80090302, "SEC_E_UNSUPPORTED_FUNCTION", "The function requested is not supported"},
    {0x80090303, "SEC_E_TARGET_UNKNOWN", "The specified target is unknown or unreachable"},
    {0x80090304, "SEC_E_INTERNAL_ERROR", "The Local Security Authority cannot be contacted"},
    {0x80090305, "SEC_E_SECPKG_NOT_FOUND", "The requested security package does not exist"},
    {0x80090306, "SEC_E_NOT_OWNER", "The caller is not the owner of the desired credentials"},
    {0x80090307, "SEC_E_CANNOT_INSTALL",
     "The security package failed to initialize, and cannot be installed"},
    {0x80090308, "SEC_E_INVALID_TOKEN", "The token supplied to the function is invalid"},
    {0x80090309, "SEC_E_CANNOT_PACK",
     "The security package is not able to marshall the logon buffer, so the logon attempt has "
     "failed"},
    {0x8009030A, "SEC_E_QOP_NOT_SUPPORTED",
     "The per-message Quality of Protection is not supported by the security package"},
    {0x8009030B, "SEC_E_NO_IMPERSONATION",
     "The security context does not allow impersonation of the client"},
    {0x8009030C, "SEC_E_LOGON_DENIED", "The logon attempt failed"},
    {0x8009030D, "SEC_E_UNKNOWN_CREDENTIALS",
     "The credentials supplied to the package were not recognized"},
    {0x8009030E, "SEC_E_NO_CREDENTIALS", "No credentials are available in the security package"},
    {0x8009030F, "SEC_E_MESSAGE_ALTERED",
     "The message or signature supplied for verification has been altered"},
    {0x80090310, "SEC_E_OUT_OF_SEQUENCE",
     "The message supplied for verification is out of sequence"},
    {0x80090311, "SEC_E_NO_AUTHENTICATING_AUTHORITY",
     "No authority could be contacted for authentication"},
    {0x80090316, "SEC_E_BAD_PKGID", "The requested security package does not exist"},
    {0x80090317, "SEC_E_CONTEXT_EXPIRED", "The context has expired and can no longer be used"},
    {0x80090318, "SEC_E_INCOMPLETE_MESSAGE",
     "The supplied message is incomplete. The signature was not verified"},
    {0x80090320, "SEC_E_INCOMPLETE_CREDENTIALS",
     "The credentials supplied were not complete, and could not be verified. The context could "
     "not be initialized"},
    {0x80090321, "SEC_E_BUFFER_TOO_SMALL", "The buffers supplied to a function was too small"},
    {0x80090322, "SEC_E_WRONG_PRINCIPAL", "The target principal name is incorrect"},
    {0x80090324, "SEC_E_TIME_SKEW", "The clocks on the client and server machines are skewed"},
    {0x80090325, "SEC_E_UNTRUSTED_ROOT",
     "The certificate chain was issued by an authority that is not trusted"},
    {0x80090326, "SEC_E_ILLEGAL_MESSAGE", "The message received was unexpected or badly formatted"},
    {0x80090327, "SEC_E_CERT_UNKNOWN",
     "An unknown error occurred while processing the certificate"},
    {0x80090328, "SEC_E_CERT_EXPIRED", "The received certificate has expired"},
    {0x80090329, "SEC_E_ENCRYPT_FAILURE", "The specified data could not be encrypted"},
    {0x80090330, "SEC_E_DECRYPT_FAILURE", "The specified data could not be decrypted"},
    {0x80090331, "SEC_E_ALGORITHM_MISMATCH",
     "The client and server cannot communicate, because they do not possess a common algorithm"},
    {0x80090332, "SEC_E_SECURITY_QOS_FAILED",
     "The security context could not be established due to a failure in the requested quality "
     "of service"},
    {0x80090333, "SEC_E_UNFINISHED_CONTEXT_DELETED",
     "A security context was deleted before the context was completed"},
    {0x80090334, "SEC_E_NO_TGT_REPLY",
     "The client is trying to negotiate a context and the server requires user-to-user but "
     "did not send a TGT reply"},
    {0x80090335, "SEC_E_NO_IP_ADDRESSES",
     "Unable to accomplish the requested task because the local machine does not have any IP "
     "addresses"},
    {0x80090336, "SEC_E_WRONG_CREDENTIAL_HANDLE",
     "The supplied credential handle does not match the credential associated with the "
     "security context"},
    {0x80090337, "SEC_E_CRYPTO_SYSTEM_INVALID",
     "The crypto system or checksum function is invalid because a required function is "
     "unavailable"},
    {0x80090338, "SEC_E_MAX_REFERRALS_EXCEEDED",
     "The number of maximum ticket referrals has been exceeded"},
    {0x80090339, "SEC_E_MUST_BE_KDC", "The local machine must be a Kerberos KDC and it is not"},
    {0x8009033A, "SEC_E_STRONG_CRYPTO_NOT_SUPPORTED",
     "The other end of the security negotiation requires strong crypto but it is not "
     "supported on the local machine"},
    {0x8009033B, "SEC_E_TOO_MANY_PRINCIPALS",
     "The KDC reply contained more than one principal name"},
    {0x8009033C, "SEC_E_NO_PA_DATA",
     "Expected to find PA data for a hint of what etype to use, but it was not found"},
};

const CodeText* Find(const CodeText* begin, const CodeText* end, uint32_t code) {
    for (const CodeText* entry = begin; entry != end; ++entry) {
        if (entry->code == code) return entry;
    }
    return nullptr;
}

}  // namespace

std::string WsaErrorText(int code) {
    const CodeText* entry =
        Find(std::begin(kWsaTexts), std::end(kWsaTexts), static_cast<uint32_t>(code));
    return entry ? std::string(entry->name) + " " + entry->description : std::string();
}

std::string SspErrorText(uint32_t status) {
    const CodeText* entry = Find(std::begin(kSspTexts), std::end(kSspTexts), status);
    return entry ? std::string(entry->description) + " (" + entry->name + ")" : std::string();
}

}  // namespace kvlog::internal
