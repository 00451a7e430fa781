// Texts of the socket layer and the FTP client, and the table of socket
// error numbers with their messages. The texts are shown to the user as
// they are, so they keep their wording (and spelling) byte for byte.
#pragma once

#include <cstdint>

namespace vx::net {

namespace ftpconst {

// Status texts passed to StatusMessage.
inline constexpr const char* SCreate = "Create";
inline constexpr const char* SDestroy = "Destroy";
inline constexpr const char* SConnecting = "Connecting";
inline constexpr const char* SDisconnecting = "Disconnecting";
inline constexpr const char* SAbort = "Abort";
inline constexpr const char* SCanceling = "Canceling";
inline constexpr const char* SCheckingConnection = "Checking Connection";
inline constexpr const char* SWrite = "Write";
inline constexpr const char* SWriteln = "Writeln";
inline constexpr const char* SReadLn = "ReadLn";
inline constexpr const char* SDataAvailable = "Data Available";
inline constexpr const char* SClearingInput = "Clearing Input";
inline constexpr const char* STransaction = "Transaction";
inline constexpr const char* SCaptureFile = "CaptureFile";
inline constexpr const char* SListening = "Listening";
inline constexpr const char* SAccepting = "Accepting";
inline constexpr const char* SRequestCloseSocket = "Request Close Socket";
inline constexpr const char* SLookingUpError = "Looking Up Error Message";
inline constexpr const char* STimerOn = "Timer On";
inline constexpr const char* STimerOff = "Timer Off";
inline constexpr const char* STimerTriggered = "Timer Triggered";
inline constexpr const char* SInitializingWinsock = "Initializing Winsock";
inline constexpr const char* SResolveHost = "Resolve Host";
inline constexpr const char* SSendingBuffer = "Sending Buffer";
inline constexpr const char* SDisconnected = "Disconnected";
inline constexpr const char* SQuit = "QUIT";
inline constexpr const char* SPass = "PASS ";
inline constexpr const char* SReceivedBytes = "Received %d Bytes";

// A connection to the data port from another address than the server's.
inline constexpr const char* SRefusedDataConnection = "Refused a data connection from another host";

// Error texts.
inline constexpr const char* SAlreadyConnected = "Already connected";
inline constexpr const char* SNullRemoteAddress = "Null Remote Address";
inline constexpr const char* SHostLookupTimedOut = "Host Lookup Timed Out";
inline constexpr const char* SHostLookupCanceled = "Host Lookup Canceled";
inline constexpr const char* SHostLookupFailed = "Host Lookup Failed";
inline constexpr const char* SConnectionTimedOut = "Connection Timed out";
inline constexpr const char* SConnectionCanceled = "Connection Canceled";
inline constexpr const char* SConnectionFailed = "Connection Failed";
inline constexpr const char* SAcceptingCanceled = "Accepting Canceled";
inline constexpr const char* SErrorCreatingDataConnection = "Error creating Data Connection";
inline constexpr const char* SWinsockInitFailed = "Initializaton of windows sockets failed";
inline constexpr const char* SSendAborted = "Socket send aborted";
inline constexpr const char* SReadLnAborted = "Socket readln aborted";
inline constexpr const char* SNotConnected = "Not Connected";
inline constexpr const char* SNoTimer = "No Timer";
inline constexpr const char* SUnknownError = "Unknown Error No. ";
// A reply line that does not fit the work buffer cannot be a reply of a
// sane server; it is refused rather than cut.
inline constexpr const char* SLineTooLong = "Line too long for the receive buffer";
// Reading a line from a socket that has no connection (never connected, or
// closed after the peer went away).
inline constexpr const char* SReadLnNotConnected = "Socket is not connected: no line to read";
// The server went away while a reply was due.
inline constexpr const char* SServerClosedConnection = "Connection closed by the server";
// The local file of a download cannot be made (as the file streams say it).
inline constexpr const char* SFCreateError = "Cannot create file %s";
// The data connection brought more than the receiver takes: the size the
// server announced, or the 32-bit counts' 2 GiB when it announced none.
inline constexpr const char* SDataBeyondLimit = "Transfer larger than %d bytes";
// A reply of more lines or bytes than any server sends (a flood, or a line
// that never ends).
inline constexpr const char* SReplyTooLong = "Reply too long: more than %d lines or %d bytes";
// The data connection ended before the size the server announced.
inline constexpr const char* STransferIncomplete = "Transfer incomplete: %d of %d bytes received";
// The data kept coming, but too slowly for the transfer ever to end.
inline constexpr const char* STransferTooSlow = "Transfer too slow: under %d bytes/s for %d s";
// The server would not start a transfer part of the way into the file.
inline constexpr const char* SRestartRefused = "Restart refused: %s";

// Socket error numbers: the platform's numbering (10000 + the BSD number,
// 11000 + the resolver's), which the texts below are indexed by.
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAENOTCONN = 10057;

struct TSockErrorRow {
    int number;
    const char* message;
};

inline constexpr TSockErrorRow SockErrorTable[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Wrong protocol type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection or reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to Host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unavailable"},
    {10092, "Incompatible version of WINSOCK.DLL"},
    {10093, "Successful WSAStartup not yet performed"},
    {11001, "Host not found"},
    {11002, "Non-Authoritative Host not found"},
    {11003, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record of requested type"},
    // Never matched: ErrorText gives the empty text for 0 before the scan.
    {0, "Unrecognized error code"},
};
static_assert(sizeof(SockErrorTable) / sizeof(SockErrorTable[0]) == 51);

} // namespace ftpconst

} // namespace vx::net
