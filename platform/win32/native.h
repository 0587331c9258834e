// Windows: the native calls of ntdll that the driver uses for session
// discovery. winternl.h gives the records (UNICODE_STRING, OBJECT_ATTRIBUTES,
// IO_STATUS_BLOCK) but declares only some Nt* calls and none of the Zw*
// ones, so they are declared here with ntdll's signatures; ntdll exports
// both spellings.
#pragma once

#include <winternl.h>

#ifndef _NTDEF_
// ntdef.h, which has it, cannot be included next to winternl.h.
typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
#endif

// ntstatus.h clashes with winnt.h; winnt.h has a few of these as DWORDs.
#ifndef STATUS_SUCCESS
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#endif
#ifndef STATUS_UNSUCCESSFUL
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#endif

extern "C" {
NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                            POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                            PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                            ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                            ULONG EaLength);
NTSTATUS NTAPI ZwDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                     PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                     ULONG IoControlCode, PVOID InputBuffer,
                                     ULONG InputBufferLength, PVOID OutputBuffer,
                                     ULONG OutputBufferLength);
NTSTATUS NTAPI ZwCreateEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                             POBJECT_ATTRIBUTES ObjectAttributes, EVENT_TYPE EventType,
                             BOOLEAN InitialState);
NTSTATUS NTAPI ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                           PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                           ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key);
NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                          PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                          ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key);
NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS NTAPI ZwCancelIoFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock);
NTSTATUS NTAPI ZwClose(HANDLE Handle);
}
