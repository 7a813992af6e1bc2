// The subset of the Win32 API that talvane and morvik call, declared for non-Windows builds with
// Windows' own names, types, constants and x64 layouts. libwinsim implements every function here.
// Wide strings are UTF-16 (WCHAR is char16_t), as on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#ifndef WINSIM_API
#define WINSIM_API __attribute__((visibility("default")))
#endif
#define WINAPI
#define NTAPI

typedef int BOOL;
typedef BOOL* PBOOL;
typedef BOOL* LPBOOL;
typedef uint8_t BYTE;
typedef BYTE* LPBYTE;
typedef BYTE* PBYTE;
typedef uint8_t UCHAR;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint32_t DWORD;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef uint32_t UINT;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef size_t SIZE_T;
typedef char CHAR;
typedef char16_t WCHAR;
typedef WCHAR* LPWSTR;
typedef WCHAR* PWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* LPCWCH;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef const char* LPCCH;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE HLOCAL;
typedef HANDLE HGLOBAL;
typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK* PACCESS_MASK;
typedef DWORD SECURITY_INFORMATION;
typedef LONG NTSTATUS;
typedef DWORD NET_API_STATUS;
typedef WCHAR* LMSTR;
typedef void* PSID;
typedef void* PSECURITY_DESCRIPTOR;

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define MAX_PATH 260

// Error numbers the library and the simulation meet.
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define NERR_Success 0
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_NOT_READY 21L
#define ERROR_BAD_NETPATH 53L
#define ERROR_BAD_NET_NAME 67L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_INVALID_LEVEL 124L
#define ERROR_DIR_NOT_ROOT 144L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_NOACCESS 998L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_NO_TOKEN 1008L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#define ERROR_SESSION_CREDENTIAL_CONFLICT 1219L
#define ERROR_NO_NETWORK 1222L
#define ERROR_NO_IMPERSONATION_TOKEN 1309L
#define ERROR_PRIVILEGE_NOT_HELD 1314L
#define ERROR_LOGON_FAILURE 1326L
#define ERROR_NONE_MAPPED 1332L
#define ERROR_INVALID_ACL 1336L
#define ERROR_INVALID_SECURITY_DESCR 1338L
#define ERROR_GENERIC_NOT_MAPPED 1360L
#define ERROR_NOT_CONNECTED 2250L

// Kernel32
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))
#define CP_ACP 0
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_ERR_INVALID_CHARS 0x00000080
#define GMEM_FIXED 0x0000
#define GMEM_ZEROINIT 0x0040
#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define DRIVE_UNKNOWN 0
#define DRIVE_NO_ROOT_DIR 1
#define DRIVE_REMOVABLE 2
#define DRIVE_FIXED 3
#define DRIVE_REMOTE 4
#define DRIVE_CDROM 5
#define DRIVE_RAMDISK 6

// Advapi32: logon, tokens
#define LOGON32_LOGON_INTERACTIVE 2
#define LOGON32_PROVIDER_DEFAULT 0
#define TOKEN_QUERY 0x0008
#define TOKEN_ALL_ACCESS 0x000F01FF
#define SE_GROUP_MANDATORY 0x00000001L
#define SE_GROUP_ENABLED_BY_DEFAULT 0x00000002L
#define SE_GROUP_ENABLED 0x00000004L
#define SE_GROUP_OWNER 0x00000008L
#define SE_GROUP_USE_FOR_DENY_ONLY 0x00000010L
#define SE_GROUP_INTEGRITY 0x00000020L
#define SE_GROUP_INTEGRITY_ENABLED 0x00000040L
#define SE_GROUP_LOGON_ID 0xC0000000L

typedef enum _TOKEN_INFORMATION_CLASS {
  TokenUser = 1,
  TokenGroups = 2,
  TokenPrivileges = 3,
  TokenOwner = 4,
  TokenPrimaryGroup = 5,
  TokenDefaultDacl = 6,
  TokenSource = 7,
  TokenType = 8,
  TokenImpersonationLevel = 9
} TOKEN_INFORMATION_CLASS;

typedef enum _SID_NAME_USE {
  SidTypeUser = 1,
  SidTypeGroup,
  SidTypeDomain,
  SidTypeAlias,
  SidTypeWellKnownGroup,
  SidTypeDeletedAccount,
  SidTypeInvalid,
  SidTypeUnknown,
  SidTypeComputer,
  SidTypeLabel,
  SidTypeLogonSession
} SID_NAME_USE, *PSID_NAME_USE;

typedef struct _SID_AND_ATTRIBUTES {
  PSID Sid;
  DWORD Attributes;
} SID_AND_ATTRIBUTES, *PSID_AND_ATTRIBUTES;

typedef struct _TOKEN_GROUPS {
  DWORD GroupCount;
  SID_AND_ATTRIBUTES Groups[1];
} TOKEN_GROUPS, *PTOKEN_GROUPS;

// Advapi32: security descriptors, ACLs, access checks
#define OWNER_SECURITY_INFORMATION 0x00000001L
#define GROUP_SECURITY_INFORMATION 0x00000002L
#define DACL_SECURITY_INFORMATION 0x00000004L
#define SACL_SECURITY_INFORMATION 0x00000008L

#define SE_OWNER_DEFAULTED 0x0001
#define SE_GROUP_DEFAULTED 0x0002
#define SE_DACL_PRESENT 0x0004
#define SE_DACL_DEFAULTED 0x0008
#define SE_SACL_PRESENT 0x0010
#define SE_DACL_AUTO_INHERITED 0x0400
#define SE_DACL_PROTECTED 0x1000
#define SE_SELF_RELATIVE 0x8000

#define ACL_REVISION 2
#define ACL_REVISION_DS 4
#define ACCESS_ALLOWED_ACE_TYPE 0x0
#define ACCESS_DENIED_ACE_TYPE 0x1
#define OBJECT_INHERIT_ACE 0x1
#define CONTAINER_INHERIT_ACE 0x2
#define NO_PROPAGATE_INHERIT_ACE 0x4
#define INHERIT_ONLY_ACE 0x8
#define INHERITED_ACE 0x10

#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define ACCESS_SYSTEM_SECURITY 0x01000000L
#define MAXIMUM_ALLOWED 0x02000000L
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L
#define FILE_READ_DATA 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_APPEND_DATA 0x0004
#define FILE_READ_EA 0x0008
#define FILE_WRITE_EA 0x0010
#define FILE_EXECUTE 0x0020
#define FILE_READ_ATTRIBUTES 0x0080
#define FILE_WRITE_ATTRIBUTES 0x0100
#define FILE_ALL_ACCESS 0x001F01FF
#define FILE_GENERIC_READ 0x00120089

typedef struct _ACL {
  BYTE AclRevision;
  BYTE Sbz1;
  WORD AclSize;
  WORD AceCount;
  WORD Sbz2;
} ACL, *PACL;

typedef struct _ACE_HEADER {
  BYTE AceType;
  BYTE AceFlags;
  WORD AceSize;
} ACE_HEADER, *PACE_HEADER;

typedef struct _ACCESS_ALLOWED_ACE {
  ACE_HEADER Header;
  ACCESS_MASK Mask;
  DWORD SidStart;
} ACCESS_ALLOWED_ACE, *PACCESS_ALLOWED_ACE;

typedef struct _ACCESS_DENIED_ACE {
  ACE_HEADER Header;
  ACCESS_MASK Mask;
  DWORD SidStart;
} ACCESS_DENIED_ACE, *PACCESS_DENIED_ACE;

typedef struct _ACL_SIZE_INFORMATION {
  DWORD AceCount;
  DWORD AclBytesInUse;
  DWORD AclBytesFree;
} ACL_SIZE_INFORMATION;

typedef struct _ACL_REVISION_INFORMATION {
  DWORD AclRevision;
} ACL_REVISION_INFORMATION;

typedef enum _ACL_INFORMATION_CLASS {
  AclRevisionInformation = 1,
  AclSizeInformation
} ACL_INFORMATION_CLASS;

typedef struct _GENERIC_MAPPING {
  ACCESS_MASK GenericRead;
  ACCESS_MASK GenericWrite;
  ACCESS_MASK GenericExecute;
  ACCESS_MASK GenericAll;
} GENERIC_MAPPING, *PGENERIC_MAPPING;

#pragma pack(push, 4)
typedef struct _LUID {
  DWORD LowPart;
  LONG HighPart;
} LUID;
typedef struct _LUID_AND_ATTRIBUTES {
  LUID Luid;
  DWORD Attributes;
} LUID_AND_ATTRIBUTES;
#pragma pack(pop)

typedef struct _PRIVILEGE_SET {
  DWORD PrivilegeCount;
  DWORD Control;
  LUID_AND_ATTRIBUTES Privilege[1];
} PRIVILEGE_SET, *PPRIVILEGE_SET;

typedef enum _SE_OBJECT_TYPE {
  SE_UNKNOWN_OBJECT_TYPE = 0,
  SE_FILE_OBJECT
} SE_OBJECT_TYPE;

// LSA
#define POLICY_VIEW_LOCAL_INFORMATION 0x00000001L
typedef PVOID LSA_HANDLE;
typedef LSA_HANDLE* PLSA_HANDLE;

typedef struct _LSA_UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
} LSA_UNICODE_STRING, *PLSA_UNICODE_STRING;

typedef struct _LSA_OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PLSA_UNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} LSA_OBJECT_ATTRIBUTES, *PLSA_OBJECT_ATTRIBUTES;

typedef enum _POLICY_INFORMATION_CLASS {
  PolicyAuditLogInformation = 1,
  PolicyAuditEventsInformation,
  PolicyPrimaryDomainInformation,
  PolicyPdAccountInformation,
  PolicyAccountDomainInformation
} POLICY_INFORMATION_CLASS;

typedef struct _POLICY_PRIMARY_DOMAIN_INFO {
  LSA_UNICODE_STRING Name;
  PSID Sid;
} POLICY_PRIMARY_DOMAIN_INFO, *PPOLICY_PRIMARY_DOMAIN_INFO;

// Netapi32
typedef struct _WKSTA_INFO_100 {
  DWORD wki100_platform_id;
  LMSTR wki100_computername;
  LMSTR wki100_langroup;
  DWORD wki100_ver_major;
  DWORD wki100_ver_minor;
} WKSTA_INFO_100, *LPWKSTA_INFO_100;

// Mpr
#define RESOURCETYPE_ANY 0x00000000
#define RESOURCETYPE_DISK 0x00000001
#define RESOURCETYPE_PRINT 0x00000002
#define CONNECT_UPDATE_PROFILE 0x00000001

typedef struct _NETRESOURCEW {
  DWORD dwScope;
  DWORD dwType;
  DWORD dwDisplayType;
  DWORD dwUsage;
  LPWSTR lpLocalName;
  LPWSTR lpRemoteName;
  LPWSTR lpComment;
  LPWSTR lpProvider;
} NETRESOURCEW, *LPNETRESOURCEW;

// The C runtime's binary-mode switch.
#define _O_TEXT 0x4000
#define _O_BINARY 0x8000

#ifdef __cplusplus
extern "C" {
#endif

// Kernel32
WINSIM_API DWORD WINAPI GetLastError(void);
WINSIM_API void WINAPI SetLastError(DWORD code);
WINSIM_API HANDLE WINAPI GetCurrentThread(void);
WINSIM_API BOOL WINAPI CloseHandle(HANDLE handle);
WINSIM_API DWORD WINAPI FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                                       LPWSTR buffer, DWORD size, void* arguments);
WINSIM_API HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes);
WINSIM_API HLOCAL WINAPI LocalFree(HLOCAL mem);
WINSIM_API HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes);
WINSIM_API HGLOBAL WINAPI GlobalFree(HGLOBAL mem);
WINSIM_API int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH multiByte, int multiByteCount,
                                          LPWSTR wide, int wideCount);
WINSIM_API int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wide, int wideCount,
                                          LPSTR multiByte, int multiByteCount, LPCCH defaultChar,
                                          LPBOOL usedDefaultChar);
WINSIM_API BOOL WINAPI GetVolumeInformationW(LPCWSTR root, LPWSTR volumeName, DWORD volumeNameSize,
                                             LPDWORD serialNumber, LPDWORD maxComponentLength,
                                             LPDWORD fileSystemFlags, LPWSTR fileSystemName,
                                             DWORD fileSystemNameSize);
WINSIM_API UINT WINAPI GetDriveTypeW(LPCWSTR root);

// Advapi32
WINSIM_API BOOL WINAPI LogonUserW(LPCWSTR user, LPCWSTR domain, LPCWSTR password, DWORD logonType,
                                  DWORD logonProvider, PHANDLE token);
WINSIM_API BOOL WINAPI ImpersonateLoggedOnUser(HANDLE token);
WINSIM_API BOOL WINAPI OpenThreadToken(HANDLE thread, DWORD desiredAccess, BOOL openAsSelf, PHANDLE token);
WINSIM_API BOOL WINAPI RevertToSelf(void);
WINSIM_API BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info,
                                           DWORD infoLength, PDWORD returnLength);
WINSIM_API BOOL WINAPI LookupAccountSidW(LPCWSTR systemName, PSID sid, LPWSTR name, LPDWORD nameSize,
                                         LPWSTR domain, LPDWORD domainSize, PSID_NAME_USE use);
WINSIM_API BOOL WINAPI GetFileSecurityA(LPCSTR fileName, SECURITY_INFORMATION requested,
                                        PSECURITY_DESCRIPTOR descriptor, DWORD length, LPDWORD needed);
WINSIM_API void WINAPI MapGenericMask(PDWORD accessMask, PGENERIC_MAPPING mapping);
WINSIM_API BOOL WINAPI AccessCheck(PSECURITY_DESCRIPTOR descriptor, HANDLE clientToken, DWORD desiredAccess,
                                   PGENERIC_MAPPING mapping, PPRIVILEGE_SET privilegeSet,
                                   LPDWORD privilegeSetLength, LPDWORD grantedAccess, LPBOOL accessStatus);
WINSIM_API DWORD WINAPI GetNamedSecurityInfoW(LPCWSTR objectName, SE_OBJECT_TYPE objectType,
                                              SECURITY_INFORMATION info, PSID* owner, PSID* group, PACL* dacl,
                                              PACL* sacl, PSECURITY_DESCRIPTOR* descriptor);
WINSIM_API BOOL WINAPI GetAclInformation(PACL acl, LPVOID info, DWORD length, ACL_INFORMATION_CLASS infoClass);
WINSIM_API BOOL WINAPI GetAce(PACL acl, DWORD index, LPVOID* ace);
WINSIM_API NTSTATUS NTAPI LsaOpenPolicy(PLSA_UNICODE_STRING systemName, PLSA_OBJECT_ATTRIBUTES attributes,
                                        ACCESS_MASK desiredAccess, PLSA_HANDLE policy);
WINSIM_API NTSTATUS NTAPI LsaQueryInformationPolicy(LSA_HANDLE policy, POLICY_INFORMATION_CLASS infoClass,
                                                    PVOID* buffer);
WINSIM_API NTSTATUS NTAPI LsaFreeMemory(PVOID buffer);
WINSIM_API NTSTATUS NTAPI LsaClose(LSA_HANDLE handle);
WINSIM_API ULONG NTAPI LsaNtStatusToWinError(NTSTATUS status);

// Netapi32
WINSIM_API NET_API_STATUS WINAPI NetWkstaGetInfo(LMSTR serverName, DWORD level, LPBYTE* buffer);
WINSIM_API NET_API_STATUS WINAPI NetApiBufferFree(LPVOID buffer);

// Mpr
WINSIM_API DWORD WINAPI WNetAddConnection2W(LPNETRESOURCEW netResource, LPCWSTR password, LPCWSTR userName,
                                            DWORD flags);
WINSIM_API DWORD WINAPI WNetCancelConnection2W(LPCWSTR name, DWORD flags, BOOL force);

// C runtime
WINSIM_API int _setmode(int fd, int mode);
WINSIM_API int _fileno(FILE* stream);
// One read of up to `count` bytes: the number read, 0 at the end of input, -1 on failure.
WINSIM_API int _read(int fd, void* buffer, unsigned int count);
// One write of up to `count` bytes: the number written, -1 on failure.
WINSIM_API int _write(int fd, const void* buffer, unsigned int count);

#ifdef __cplusplus
}
#endif
