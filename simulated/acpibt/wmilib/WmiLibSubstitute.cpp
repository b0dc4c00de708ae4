/* wmilib.sys for the simulated notebook: Wine has no WMI library for
 * drivers, so a driver that imports WmiSystemControl would not load. This
 * substitute answers as the library does for a device that registered no WMI
 * data blocks: a request meant for another provider is forwarded, one meant
 * for this device fails as a request for an unknown data block. */
#include <wdm.h>
#include <wmilib.h>

extern "C" __declspec(dllexport) NTSTATUS NTAPI
    WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                     PSYSCTL_IRP_DISPOSITION IrpDisposition) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    (void)WmiLibInfo;
    if (stack->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(DeviceObject)) {
        *IrpDisposition = IrpForward;
        return Irp->IoStatus.Status;
    }
    Irp->IoStatus.Status = STATUS_WMI_GUID_NOT_FOUND;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    *IrpDisposition = IrpProcessed;
    return STATUS_WMI_GUID_NOT_FOUND;
}

/* Wine's loader calls the entry point of an imported driver as a DLL's:
 * TRUE, which is also a success status to a caller that takes it for one. */
extern "C" ULONG NTAPI DriverEntry(PVOID instance, ULONG reason, PVOID reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return 1;
}
