// winsim stand-in for <evntprov.h>: ETW provider registration and writes.
#pragma once

#include <windows.h>

typedef ULONGLONG REGHANDLE, *PREGHANDLE;

typedef struct _EVENT_DESCRIPTOR {
  USHORT Id;
  UCHAR Version;
  UCHAR Channel;
  UCHAR Level;
  UCHAR Opcode;
  USHORT Task;
  ULONGLONG Keyword;
} EVENT_DESCRIPTOR, *PEVENT_DESCRIPTOR;
typedef const EVENT_DESCRIPTOR* PCEVENT_DESCRIPTOR;

typedef struct _EVENT_DATA_DESCRIPTOR {
  ULONGLONG Ptr;
  ULONG Size;
  union {
    ULONG Reserved;
    struct {
      UCHAR Type;
      UCHAR Reserved1;
      USHORT Reserved2;
    };
  };
} EVENT_DATA_DESCRIPTOR, *PEVENT_DATA_DESCRIPTOR;

#define EVENT_DATA_DESCRIPTOR_TYPE_NONE 0
#define EVENT_DATA_DESCRIPTOR_TYPE_EVENT_METADATA 1
#define EVENT_DATA_DESCRIPTOR_TYPE_PROVIDER_METADATA 2

typedef struct _EVENT_FILTER_DESCRIPTOR {
  ULONGLONG Ptr;
  ULONG Size;
  ULONG Type;
} EVENT_FILTER_DESCRIPTOR, *PEVENT_FILTER_DESCRIPTOR;

#define EVENT_CONTROL_CODE_DISABLE_PROVIDER 0
#define EVENT_CONTROL_CODE_ENABLE_PROVIDER 1
#define EVENT_CONTROL_CODE_CAPTURE_STATE 2

typedef enum _EVENT_INFO_CLASS {
  EventProviderBinaryTrackInfo,
  EventProviderSetReserved1,
  EventProviderSetTraits,
  EventProviderUseDescriptorType,
  MaxEventInfo
} EVENT_INFO_CLASS;

typedef void(NTAPI* PENABLECALLBACK)(LPCGUID source_id, ULONG is_enabled, UCHAR level, ULONGLONG match_any_keyword,
                                     ULONGLONG match_all_keyword, PEVENT_FILTER_DESCRIPTOR filter_data,
                                     PVOID callback_context);

ULONG WINAPI EventRegister(LPCGUID provider_id, PENABLECALLBACK enable_callback, PVOID callback_context,
                           PREGHANDLE reg_handle);
ULONG WINAPI EventUnregister(REGHANDLE reg_handle);
ULONG WINAPI EventSetInformation(REGHANDLE reg_handle, EVENT_INFO_CLASS information_class, PVOID information,
                                 ULONG information_length);
ULONG WINAPI EventWriteTransfer(REGHANDLE reg_handle, PCEVENT_DESCRIPTOR descriptor, LPCGUID activity_id,
                                LPCGUID related_activity_id, ULONG user_data_count,
                                PEVENT_DATA_DESCRIPTOR user_data);

inline void EventDataDescCreate(PEVENT_DATA_DESCRIPTOR descriptor, const void* data, ULONG size) {
  descriptor->Ptr = reinterpret_cast<ULONGLONG>(data);
  descriptor->Size = size;
  descriptor->Reserved = 0;
}
