// Velmora bus: power on a child device.
//
// A child is the bottom of its stack, so it finishes every power request that
// reaches it. A system power change is turned into a device power change for
// the child's own stack (D0 for the working state, D3 for any other), so the
// function driver above sees the transition it has to act on; the system
// request finishes once that device request has.

#include <ntddk.h>

#include "velmora.h"

// The power manager's dispatch entry for a child. Children are power-pageable,
// so requests arrive at PASSIVE_LEVEL. Every request that is finished here
// starts the next one first (PoStartNextPowerIrp), as the power manager
// requires before each completion. A system set-power request is pended and
// finished by CommonPdo_PoRequestComplete; it is never failed, since the
// platform does not allow a system set-power request to fail.
NTSTATUS Pdo_Power(PDEVICE_OBJECT ChildDevice, PIRP Irp, PCHILD_EXTENSION Child) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG powerType;
  NTSTATUS status;

  TRACE_ENTER("Pdo_Power");

  // The sender may store any 32-bit value as the type, not only the two the
  // enumeration names: read it as the number it is.
  RtlCopyMemory(&powerType, &stack->Parameters.Power.Type, sizeof(powerType));

  switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
      switch (powerType) {
        case SystemPowerState: {
          POWER_STATE deviceState;
          deviceState.DeviceState =
              (stack->Parameters.Power.State.SystemState == PowerSystemWorking) ? PowerDeviceD0
                                                                                  : PowerDeviceD3;

          // The device request may finish, and complete this one, before
          // PoRequestPowerIrp returns: mark it pending first and do not touch
          // it again once the request is on its way.
          IoMarkIrpPending(Irp);
          status = PoRequestPowerIrp(ChildDevice, IRP_MN_SET_POWER, deviceState,
                                     CommonPdo_PoRequestComplete, Irp, NULL);
          if (!NT_SUCCESS(status)) {
            // Without a device request the child simply stays as it is; the
            // system goes on with its transition all the same.
            TRACE_DETAIL("PoRequestPowerIrp failed, status=0x%x", (ULONG)status);
            PoStartNextPowerIrp(Irp);
            Irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
          }
          status = STATUS_PENDING;
          TRACE_EXIT_STATUS("Pdo_Power", status);
          return status;
        }

        case DevicePowerState:
          // Nothing to switch on a virtual device: report and record it.
          PoSetPowerState(ChildDevice, DevicePowerState, stack->Parameters.Power.State);
          Child->DevicePowerState = stack->Parameters.Power.State.DeviceState;
          status = STATUS_SUCCESS;
          break;

        default:
          status = STATUS_NOT_IMPLEMENTED;
          break;
      }
      break;

    case IRP_MN_QUERY_POWER:
      // A virtual device can enter any state at any time.
      status = STATUS_SUCCESS;
      break;

    case IRP_MN_WAIT_WAKE:
    case IRP_MN_POWER_SEQUENCE:
    default:
      // The child has no wake signal and keeps no power sequence.
      status = STATUS_NOT_SUPPORTED;
      break;
  }

  PoStartNextPowerIrp(Irp);
  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);

  TRACE_EXIT_STATUS("Pdo_Power", status);
  return status;
}

// Completion callback of the device set-power request that a system set-power
// request caused; Context is that system request. It may run at up to
// DISPATCH_LEVEL on whatever thread finished the device request, so it takes
// no lock and touches only non-paged memory. The child is reported and
// recorded in the new system state whatever the device request's outcome, and
// the system request succeeds even when the device request failed.
VOID CommonPdo_PoRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                 POWER_STATE PowerState, PVOID Context,
                                 PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);

  PCHILD_EXTENSION child = (PCHILD_EXTENSION)DeviceObject->DeviceExtension;
  PIRP systemIrp = (PIRP)Context;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(systemIrp);
  NTSTATUS status = IoStatus->Status;

  TRACE_ENTER("CommonPdo_PoRequestComplete");

  PoSetPowerState(DeviceObject, stack->Parameters.Power.Type, stack->Parameters.Power.State);
  child->SystemPowerState = stack->Parameters.Power.State.SystemState;

  if (!NT_SUCCESS(status)) {
    TRACE_DETAIL("Device power request failed, status=0x%x", (ULONG)status);
    status = STATUS_SUCCESS;
  }
  systemIrp->IoStatus.Status = status;

  PoStartNextPowerIrp(systemIrp);
  IoCompleteRequest(systemIrp, IO_NO_INCREMENT);

  TRACE_EXIT("CommonPdo_PoRequestComplete");
}
