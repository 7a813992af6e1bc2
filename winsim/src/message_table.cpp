// English system message texts, as FormatMessageW returns them on Windows 10/11 (each ends
// with CR LF, added when the text is handed out). Numbers not listed have no system text.
#include "messages.h"

namespace winsim::detail {

const MessageText kMessages[] = {
    {0, u"The operation completed successfully."},  // ERROR_SUCCESS
    {1, u"Incorrect function."},  // ERROR_INVALID_FUNCTION
    {2, u"The system cannot find the file specified."},  // ERROR_FILE_NOT_FOUND
    {3, u"The system cannot find the path specified."},  // ERROR_PATH_NOT_FOUND
    {5, u"Access is denied."},  // ERROR_ACCESS_DENIED
    {6, u"The handle is invalid."},  // ERROR_INVALID_HANDLE
    {8, u"Not enough memory resources are available to process this command."},  // ERROR_NOT_ENOUGH_MEMORY
    {14, u"Not enough storage is available to complete this operation."},  // ERROR_OUTOFMEMORY
    {15, u"The system cannot find the drive specified."},  // ERROR_INVALID_DRIVE
    {21, u"The device is not ready."},  // ERROR_NOT_READY
    {24, u"The program issued a command but the command length is incorrect."},  // ERROR_BAD_LENGTH
    {31, u"A device attached to the system is not functioning."},  // ERROR_GEN_FAILURE
    {50, u"The request is not supported."},  // ERROR_NOT_SUPPORTED
    {51, u"Windows cannot find the network path. Verify that the network path is correct and the destination computer is not busy or turned off. If Windows still cannot find the network path, contact your network administrator."},  // ERROR_REM_NOT_LIST
    {53, u"The network path was not found."},  // ERROR_BAD_NETPATH
    {54, u"The network is busy."},  // ERROR_NETWORK_BUSY
    {59, u"An unexpected network error occurred."},  // ERROR_UNEXP_NET_ERR
    {64, u"The specified network name is no longer available."},  // ERROR_NETNAME_DELETED
    {65, u"Network access is denied."},  // ERROR_NETWORK_ACCESS_DENIED
    {66, u"The network resource type is not correct."},  // ERROR_BAD_DEV_TYPE
    {67, u"The network name cannot be found."},  // ERROR_BAD_NET_NAME
    {85, u"The local device name is already in use."},  // ERROR_ALREADY_ASSIGNED
    {86, u"The specified network password is not correct."},  // ERROR_INVALID_PASSWORD
    {87, u"The parameter is incorrect."},  // ERROR_INVALID_PARAMETER
    {120, u"This function is not supported on this system."},  // ERROR_CALL_NOT_IMPLEMENTED
    {122, u"The data area passed to a system call is too small."},  // ERROR_INSUFFICIENT_BUFFER
    {123, u"The filename, directory name, or volume label syntax is incorrect."},  // ERROR_INVALID_NAME
    {124, u"The system call level is not correct."},  // ERROR_INVALID_LEVEL
    {144, u"The directory is not a subdirectory of the root directory."},  // ERROR_DIR_NOT_ROOT
    {161, u"The specified path is invalid."},  // ERROR_BAD_PATHNAME
    {170, u"The requested resource is in use."},  // ERROR_BUSY
    {234, u"More data is available."},  // ERROR_MORE_DATA
    {317, u"The system cannot find message text for message number 0x%1 in the message file for %2."},  // ERROR_MR_MID_NOT_FOUND
    {487, u"Attempt to access invalid address."},  // ERROR_INVALID_ADDRESS
    {997, u"Overlapped I/O operation is in progress."},  // ERROR_IO_PENDING
    {998, u"Invalid access to memory location."},  // ERROR_NOACCESS
    {1004, u"Invalid flags."},  // ERROR_INVALID_FLAGS
    {1008, u"An attempt was made to reference a token that does not exist."},  // ERROR_NO_TOKEN
    {1113, u"No mapping for the Unicode character exists in the target multi-byte code page."},  // ERROR_NO_UNICODE_TRANSLATION
    {1200, u"The specified device name is invalid."},  // ERROR_BAD_DEVICE
    {1202, u"The local device name has a remembered connection to another network resource."},  // ERROR_DEVICE_ALREADY_REMEMBERED
    {1203, u"The network path was either typed incorrectly, does not exist, or the network provider is not currently available. Please try retyping the path or contact your network administrator."},  // ERROR_NO_NET_OR_BAD_PATH
    {1204, u"The specified network provider name is invalid."},  // ERROR_BAD_PROVIDER
    {1205, u"Unable to open the network connection profile."},  // ERROR_CANNOT_OPEN_PROFILE
    {1206, u"The network connection profile is corrupted."},  // ERROR_BAD_PROFILE
    {1208, u"An extended error has occurred."},  // ERROR_EXTENDED_ERROR
    {1219, u"Multiple connections to a server or shared resource by the same user, using more than one user name, are not allowed. Disconnect all previous connections to the server or shared resource and try again."},  // ERROR_SESSION_CREDENTIAL_CONFLICT
    {1220, u"An attempt was made to establish a session to a network server, but there are already too many sessions established to that server."},  // ERROR_REMOTE_SESSION_LIMIT_EXCEEDED
    {1222, u"The network is not present or not started."},  // ERROR_NO_NETWORK
    {1223, u"The operation was canceled by the user."},  // ERROR_CANCELLED
    {1231, u"The network location cannot be reached. For information about network troubleshooting, see Windows Help."},  // ERROR_NETWORK_UNREACHABLE
    {1240, u"The account is not authorized to log in from this station."},  // ERROR_LOGIN_WKSTA_RESTRICTION
    {1244, u"The operation being requested was not performed because the user has not been authenticated."},  // ERROR_NOT_AUTHENTICATED
    {1301, u"Some mapping between account names and security IDs was not done."},  // ERROR_SOME_NOT_MAPPED
    {1305, u"The revision level is unknown."},  // ERROR_UNKNOWN_REVISION
    {1307, u"This security ID may not be assigned as the owner of this object."},  // ERROR_INVALID_OWNER
    {1309, u"An attempt has been made to operate on an impersonation token by a thread that is not currently impersonating a client."},  // ERROR_NO_IMPERSONATION_TOKEN
    {1311, u"There are currently no logon servers available to service the logon request."},  // ERROR_NO_LOGON_SERVERS
    {1312, u"A specified logon session does not exist. It may already have been terminated."},  // ERROR_NO_SUCH_LOGON_SESSION
    {1313, u"A specified privilege does not exist."},  // ERROR_NO_SUCH_PRIVILEGE
    {1314, u"A required privilege is not held by the client."},  // ERROR_PRIVILEGE_NOT_HELD
    {1317, u"The specified account does not exist."},  // ERROR_NO_SUCH_USER
    {1326, u"The user name or password is incorrect."},  // ERROR_LOGON_FAILURE
    {1327, u"Account restrictions are preventing this user from signing in. For example: blank passwords aren't allowed, sign-in times are limited, or a policy restriction has been enforced."},  // ERROR_ACCOUNT_RESTRICTION
    {1328, u"Your account has time restrictions that keep you from signing in right now."},  // ERROR_INVALID_LOGON_HOURS
    {1329, u"This user isn't allowed to sign in to this computer."},  // ERROR_INVALID_WORKSTATION
    {1330, u"The password for this account has expired."},  // ERROR_PASSWORD_EXPIRED
    {1331, u"This user can't sign in because this account is currently disabled."},  // ERROR_ACCOUNT_DISABLED
    {1332, u"No mapping between account names and security IDs was done."},  // ERROR_NONE_MAPPED
    {1336, u"The access control list (ACL) structure is invalid."},  // ERROR_INVALID_ACL
    {1337, u"The security ID structure is invalid."},  // ERROR_INVALID_SID
    {1338, u"The security descriptor structure is invalid."},  // ERROR_INVALID_SECURITY_DESCR
    {1346, u"Either a required impersonation level was not provided, or the provided impersonation level is invalid."},  // ERROR_BAD_IMPERSONATION_LEVEL
    {1347, u"Cannot open an anonymous level security token."},  // ERROR_CANT_OPEN_ANONYMOUS
    {1349, u"The type of the token is inappropriate for its attempted use."},  // ERROR_BAD_TOKEN_TYPE
    {1352, u"The security account manager (SAM) or local security authority (LSA) server was in the wrong state to perform the security operation."},  // ERROR_INVALID_SERVER_STATE
    {1355, u"The specified domain either does not exist or could not be contacted."},  // ERROR_NO_SUCH_DOMAIN
    {1360, u"Generic access types were contained in an access mask which should already be mapped to nongeneric types."},  // ERROR_GENERIC_NOT_MAPPED
    {1385, u"Logon failure: the user has not been granted the requested logon type at this computer."},  // ERROR_LOGON_TYPE_NOT_GRANTED
    {1450, u"Insufficient system resources exist to complete the requested service."},  // ERROR_NO_SYSTEM_RESOURCES
    {1722, u"The RPC server is unavailable."},  // RPC_S_SERVER_UNAVAILABLE
    {1726, u"The remote procedure call failed."},  // RPC_S_CALL_FAILED
    {1789, u"The trust relationship between this workstation and the primary domain failed."},  // ERROR_TRUSTED_RELATIONSHIP_FAILURE
    {1792, u"An attempt was made to logon, but the network logon service was not started."},  // ERROR_NETLOGON_NOT_STARTED
    {1793, u"The user's account has expired."},  // ERROR_ACCOUNT_EXPIRED
    {1808, u"The account used is a computer account. Use your global user account or local user account to access this server."},  // ERROR_NOLOGON_WORKSTATION_TRUST_ACCOUNT
    {1815, u"The specified resource language ID cannot be found in the image file."},  // ERROR_RESOURCE_LANG_NOT_FOUND
    {1907, u"The user's password must be changed before signing in."},  // ERROR_PASSWORD_MUST_CHANGE
    {1909, u"The referenced account is currently locked out and may not be logged on to."},  // ERROR_ACCOUNT_LOCKED_OUT
    {2202, u"The specified username is invalid."},  // ERROR_BAD_USERNAME
    {2250, u"This network connection does not exist."},  // ERROR_NOT_CONNECTED
    {2401, u"This network connection has files open or requests pending."},  // ERROR_OPEN_FILES
    {2402, u"Active connections still exist."},  // ERROR_ACTIVE_CONNECTIONS
    {2404, u"The device is in use by an active process and cannot be disconnected."},  // ERROR_DEVICE_IN_USE
    {14007, u"The requested lookup key was not found in any active activation context."},  // ERROR_SXS_KEY_NOT_FOUND
};

const size_t kMessageCount = sizeof(kMessages) / sizeof(kMessages[0]);

}  // namespace winsim::detail
