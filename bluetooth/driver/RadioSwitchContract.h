/* The radio switch driver's contract: its device interface class, its seven
 * I/O control codes and the radio status byte. Shared by the driver
 * (nrvrfsw.sys), the radio support library and the driver installer, in
 * kernel and user mode, C and C++: include <windows.h> and <winioctl.h>
 * (user mode) or <wdm.h> (kernel mode) first.
 *
 * User mode finds the device through its interface class (SetupDi with
 * DIGCF_PRESENT | DIGCF_DEVICEINTERFACE) and sends the controls with
 * DeviceIoControl on a handle opened with CreateFile on the interface's path.
 */
#ifndef NRV_RADIO_SWITCH_CONTRACT_H
#define NRV_RADIO_SWITCH_CONTRACT_H

#ifndef CTL_CODE
#error "include <winioctl.h> (user mode) or <wdm.h> (kernel mode) before RadioSwitchContract.h"
#endif

/* Device interface class {5291CDA8-ACC2-4FCF-B566-8187E74C9D97}, registered on
 * the firmware device with no reference string. The initializer serves
 * where a GUID constant is wanted without a GUID definition (C code that
 * does not include <initguid.h>). */
#define NRV_RADIO_SWITCH_INTERFACE_GUID_INIT               \
    {                                                      \
        0x5291CDA8, 0xACC2, 0x4FCF, {                      \
            0xB5, 0x66, 0x81, 0x87, 0xE7, 0x4C, 0x9D, 0x97 \
        }                                                  \
    }

#ifdef __cplusplus
inline constexpr GUID GUID_DEVINTERFACE_NRV_RADIO_SWITCH = NRV_RADIO_SWITCH_INTERFACE_GUID_INIT;
#else
/* Declared here, defined in the one translation unit that includes
 * <initguid.h> before this header. */
DEFINE_GUID(GUID_DEVINTERFACE_NRV_RADIO_SWITCH, 0x5291CDA8, 0xACC2, 0x4FCF, 0xB5, 0x66, 0x81, 0x87,
            0xE7, 0x4C, 0x9D, 0x97);
#endif

/* The driver's device object (kernel name; no symbolic link is created). */
#define NRV_RADIO_SWITCH_DEVICE_NAME L"\\Device\\NRVRFSW"

/* The path the radio support library opens when no interface is present. */
#define NRV_RADIO_SWITCH_FALLBACK_PATH_A "\\\\.\\NrvACPI"
#define NRV_RADIO_SWITCH_FALLBACK_PATH_W L"\\\\.\\NrvACPI"

/* I/O controls: device type 0x1388, METHOD_BUFFERED, FILE_ANY_ACCESS,
 * functions 1 to 7. Only IOCTL_RADIO_GET_STATUS has a buffer: one byte of
 * output, the radio status byte. The switching controls write no data. */
#define NRV_RADIO_SWITCH_DEVICE_TYPE 0x1388
#define NRV_RADIO_SWITCH_CTL(function) \
    CTL_CODE(NRV_RADIO_SWITCH_DEVICE_TYPE, (function), METHOD_BUFFERED, FILE_ANY_ACCESS)

#define IOCTL_RADIO_DETACH NRV_RADIO_SWITCH_CTL(1)        /* 0x13880004: detach from USB */
#define IOCTL_RADIO_ATTACH NRV_RADIO_SWITCH_CTL(2)        /* 0x13880008: attach to USB */
#define IOCTL_RADIO_ON NRV_RADIO_SWITCH_CTL(3)            /* 0x1388000C: flag 1, power on */
#define IOCTL_RADIO_OFF NRV_RADIO_SWITCH_CTL(4)           /* 0x13880010: flag 0, power off */
#define IOCTL_RADIO_WAIT_NOTIFY80 NRV_RADIO_SWITCH_CTL(5) /* 0x13880014: pends until 0x80 */
#define IOCTL_RADIO_WAIT_NOTIFY90 NRV_RADIO_SWITCH_CTL(6) /* 0x13880018: pends until 0x90 */
#define IOCTL_RADIO_GET_STATUS NRV_RADIO_SWITCH_CTL(7)    /* 0x1388001C: 1 byte out */

/* The radio status byte: the low byte of the firmware's status method.
 * Bits 1 to 5 are not interpreted. */
#define RADIO_STATUS_SWITCHED_ON 0x01 /* the radio is switched on */
#define RADIO_STATUS_ATTACHED 0x40    /* the module is attached to USB */
#define RADIO_STATUS_POWERED 0x80     /* the module is powered */

/* The two values that mean "on": switched on, powered, and attached or not. */
#define RADIO_STATUS_ON_ATTACHED 0xC1
#define RADIO_STATUS_ON_DETACHED 0x81

#endif /* NRV_RADIO_SWITCH_CONTRACT_H */
