// winsim stand-in for <wtsapi32.h>: the Terminal Services calls the programs
// make, with the SDK's types and values.
#pragma once

#include <windows.h>

#define WTS_CURRENT_SERVER_HANDLE ((HANDLE)NULL)
#define WTS_CURRENT_SESSION ((DWORD)-1)

#define WINSTATIONNAME_LENGTH 32
#define DOMAIN_LENGTH 17
#define USERNAME_LENGTH 20

#define WTS_SESSIONSTATE_UNKNOWN 0xFFFFFFFF
#define WTS_SESSIONSTATE_LOCK 0x00000000
#define WTS_SESSIONSTATE_UNLOCK 0x00000001

typedef enum _WTS_CONNECTSTATE_CLASS {
  WTSActive,
  WTSConnected,
  WTSConnectQuery,
  WTSShadow,
  WTSDisconnected,
  WTSIdle,
  WTSListen,
  WTSReset,
  WTSDown,
  WTSInit
} WTS_CONNECTSTATE_CLASS;

typedef enum _WTS_INFO_CLASS {
  WTSInitialProgram = 0,
  WTSApplicationName = 1,
  WTSWorkingDirectory = 2,
  WTSOEMId = 3,
  WTSSessionId = 4,
  WTSUserName = 5,
  WTSWinStationName = 6,
  WTSDomainName = 7,
  WTSConnectState = 8,
  WTSClientBuildNumber = 9,
  WTSClientName = 10,
  WTSClientDirectory = 11,
  WTSClientProductId = 12,
  WTSClientHardwareId = 13,
  WTSClientAddress = 14,
  WTSClientDisplay = 15,
  WTSClientProtocolType = 16,
  WTSIdleTime = 17,
  WTSLogonTime = 18,
  WTSIncomingBytes = 19,
  WTSOutgoingBytes = 20,
  WTSIncomingFrames = 21,
  WTSOutgoingFrames = 22,
  WTSClientInfo = 23,
  WTSSessionInfo = 24,
  WTSSessionInfoEx = 25,
  WTSConfigInfo = 26,
  WTSValidationInfo = 27,
  WTSSessionAddressV4 = 28,
  WTSIsRemoteSession = 29
} WTS_INFO_CLASS;

typedef struct _WTSINFOEX_LEVEL1_W {
  ULONG SessionId;
  WTS_CONNECTSTATE_CLASS SessionState;
  LONG SessionFlags;
  WCHAR WinStationName[WINSTATIONNAME_LENGTH + 1];
  WCHAR UserName[USERNAME_LENGTH + 1];
  WCHAR DomainName[DOMAIN_LENGTH + 1];
  LARGE_INTEGER LogonTime;
  LARGE_INTEGER ConnectTime;
  LARGE_INTEGER DisconnectTime;
  LARGE_INTEGER LastInputTime;
  LARGE_INTEGER CurrentTime;
  DWORD IncomingBytes;
  DWORD OutgoingBytes;
  DWORD IncomingFrames;
  DWORD OutgoingFrames;
  DWORD IncomingCompressedBytes;
  DWORD OutgoingCompressedBytes;
} WTSINFOEX_LEVEL1_W, *PWTSINFOEX_LEVEL1_W;

typedef union _WTSINFOEX_LEVEL_W {
  WTSINFOEX_LEVEL1_W WTSInfoExLevel1;
} WTSINFOEX_LEVEL_W, *PWTSINFOEX_LEVEL_W;

typedef struct _WTSINFOEXW {
  DWORD Level;
  WTSINFOEX_LEVEL_W Data;
} WTSINFOEXW, *PWTSINFOEXW;

BOOL WINAPI WTSQuerySessionInformationW(HANDLE server, DWORD session_id, WTS_INFO_CLASS info_class,
                                        LPWSTR* buffer, DWORD* bytes_returned);
void WINAPI WTSFreeMemory(PVOID memory);
BOOL WINAPI WTSQueryUserToken(ULONG session_id, PHANDLE token);
