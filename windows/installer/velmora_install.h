// Velmora on Windows: the names the INFs, the installer and velmoractl share.
// Narrow literals; prefix L"" where a wide one is needed (L"" NAME).
#pragma once

// The bus's root-enumerated device node: its hardware ID (what velmora.inf
// matches), the name its instance is generated from (ROOT\VELMORA\0000), and
// the driver service it runs.
#define VELMORA_BUS_HARDWARE_ID "Root\\Velmora"
#define VELMORA_BUS_DEVICE_NAME "VELMORA"
#define VELMORA_BUS_SERVICE "velmora"
#define VELMORA_BUS_IMAGE "velmora.sys"

// The sample child function driver: velmorachild.inf matches every child by
// the compatible ID the bus gives it.
#define VELMORA_CHILD_COMPATIBLE_ID "{5A7E90C1-3D42-4b8f-9E16-C07D2B84A3F9}\\ZAMBthCompatibleDevice"
#define VELMORA_CHILD_SERVICE "velmorachild"
#define VELMORA_CHILD_IMAGE "velmorachild.sys"

// The System setup class.
#define VELMORA_SYSTEM_CLASS_GUID "{4d36e97d-e325-11ce-bfc1-08002be10318}"

// Who may open the control device: SYSTEM and Administrators, nobody else.
#define VELMORA_DEVICE_SDDL "D:P(A;;GA;;;SY)(A;;GA;;;BA)"
