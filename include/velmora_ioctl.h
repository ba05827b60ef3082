// Velmora bus: the contract between the bus driver, the child function drivers
// and the user-mode service. Control codes, request records and message
// records, byte for byte as they cross the boundary (little-endian, x64).
//
// Included by kernel-mode code (after <ntddk.h>/<wdm.h>) and by user-mode code
// (Win32 or the kernel host's service side); it needs only <stdint.h>.
#pragma once

#include <stdint.h>

// Names the service opens: the link is \\.\Olvex from Win32.
#define VELMORA_DEVICE_NAME L"\\Device\\Velmora"
#define VELMORA_LINK_NAME L"\\??\\Olvex"
#define VELMORA_WIN32_PATH L"\\\\.\\Olvex"

// Control codes. All METHOD_BUFFERED, FILE_ANY_ACCESS; each is accepted as a
// device-control and as an internal device-control request.
#define VELMORA_CTL(DeviceType, Function) \
  ((uint32_t)(((DeviceType) << 16) | (0u << 14) | ((Function) << 2) | 0u))

#define IOCTL_NETBUS_PLUG_IN VELMORA_CTL(0x2Au, 0x801u)
#define IOCTL_NETBUS_PLUG_OUT VELMORA_CTL(0x2Au, 0x802u)
#define IOCTL_NETBUS_EXCHANGE_CALLBACK VELMORA_CTL(0x2Au, 0x803u)
#define IOCTL_CORVANE_PASS_EVENT VELMORA_CTL(0x22u, 0x900u)
#define IOCTL_CORVANE_DELETE_EVENT VELMORA_CTL(0x22u, 0x901u)
#define IOCTL_CORVANE_GET_MSG VELMORA_CTL(0x22u, 0x902u)
#define IOCTL_CORVANE_PUT_MSG VELMORA_CTL(0x22u, 0x920u)

// Message ids carried in NETBUS_MESSAGE.MsgId.
#define NETBUS_MSG_TAG 0x20u
#define MSG_QUEUE_DRAINED 9u
#define MSG_SEND_DATA 21u
#define MSG_UNREGISTER 22u
#define MSG_NOP 23u

// The upward queue's flow control: pushes past this many entries clear the
// flow, and a fetch that leaves fewer than the low mark sends MSG_QUEUE_DRAINED.
#define VELMORA_QUEUE_HIGH_MARK 16u
#define VELMORA_QUEUE_LOW_MARK 4u

// A fetch reply carries Length + 11 bytes; an empty or refused reply 12.
#define VELMORA_MSG_HEADER_SIZE 8u
#define VELMORA_GET_MSG_MIN_OUTPUT 12u
#define VELMORA_GET_MSG_OVERHEAD 11u

#pragma pack(push, 1)

// Input of IOCTL_NETBUS_PLUG_IN. Size equals the input length and is at least
// 16; HardwareId is a UTF-16 multi-string of Size - 12 bytes ending in two nulls.
typedef struct _BUS_PLUGIN_REQUEST {
  uint32_t Size;
  uint32_t DeviceType;
  uint32_t SerialNo;
  uint16_t HardwareId[2];
} BUS_PLUGIN_REQUEST, *PBUS_PLUGIN_REQUEST;

// Input of IOCTL_NETBUS_PLUG_OUT. SerialNo 0 unplugs every child.
typedef struct _BUS_UNPLUG_REQUEST {
  uint32_t Size;
  uint32_t Reserved1;
  uint32_t SerialNo;
  uint32_t Reserved2;
} BUS_UNPLUG_REQUEST, *PBUS_UNPLUG_REQUEST;

// One record exchanged between the service, the bus and a child driver.
typedef struct _NETBUS_MESSAGE {
  uint8_t Tag;
  uint8_t MsgId;
  uint16_t Reserved;
  uint32_t Length;
  uint8_t Payload[1];
} NETBUS_MESSAGE, *PNETBUS_MESSAGE;

#pragma pack(pop)

#define BUS_PLUGIN_REQUEST_HEADER_SIZE 12u
#define BUS_PLUGIN_REQUEST_MIN_SIZE 16u
#define BUS_UNPLUG_REQUEST_SIZE 16u

#ifdef __cplusplus
static_assert(sizeof(BUS_PLUGIN_REQUEST) == 16, "BUS_PLUGIN_REQUEST layout");
static_assert(sizeof(BUS_UNPLUG_REQUEST) == 16, "BUS_UNPLUG_REQUEST layout");
static_assert(sizeof(NETBUS_MESSAGE) == 9, "NETBUS_MESSAGE header is 8 bytes");
static_assert(__builtin_offsetof(NETBUS_MESSAGE, Length) == 4, "Length at offset 4");
static_assert(__builtin_offsetof(NETBUS_MESSAGE, Payload) == 8, "Payload at offset 8");
static_assert(__builtin_offsetof(BUS_PLUGIN_REQUEST, HardwareId) == 12, "HardwareId offset");
static_assert(IOCTL_NETBUS_PLUG_IN == 0x002A2004u, "plug-in code");
static_assert(IOCTL_NETBUS_PLUG_OUT == 0x002A2008u, "plug-out code");
static_assert(IOCTL_NETBUS_EXCHANGE_CALLBACK == 0x002A200Cu, "exchange code");
static_assert(IOCTL_CORVANE_PASS_EVENT == 0x00222400u, "pass-event code");
static_assert(IOCTL_CORVANE_DELETE_EVENT == 0x00222404u, "delete-event code");
static_assert(IOCTL_CORVANE_GET_MSG == 0x00222408u, "get-message code");
static_assert(IOCTL_CORVANE_PUT_MSG == 0x00222480u, "put-message code");
#endif
