// PCI device lookup: finds devices in the kernel's device list
// (/proc/bus/pci/devices), names them from the PCI ID list and places them
// on the appliance through the layout file pci.layout in the configuration
// directory of the hardware library. Paths pass through zorResolvePath.
//
// The layout file is a registry file (regfile.h) with one section per slot,
// named "bus:device:function" or, for all functions of a device,
// "bus:device", all decimal:
//
//   [1:2]
//   Location = 3
//   Type = Ethernet
//   Name = Slot3
//   Description = Dual port gigabit board
#pragma once

#include <cstdint>

typedef struct pci_device {
    uint32_t bus;
    uint32_t device;
    uint32_t function;
    uint16_t vendor_id;
    uint16_t device_id;
    uint8_t irq;
    uint32_t mem_high; ///< end of the first memory window (start plus size)
    uint32_t mem_low;  ///< start of the first memory window, low 12 bits cleared
    char driver[32];   ///< "N/A" when the kernel names none; longer names are cut to 31 characters
} PCI_DEVICE_T;

typedef struct pci_device_ids {
    char vendor_name[1024];
    char device_name[1024];
} PCI_DEVICE_IDS;

/// Room every `value` buffer of the layout functions must have.
#define PCI_LAYOUT_VALUE_SIZE 1024

/// Bits of the `mode` of pci_print.
#define PCI_PRINT_DETAILS 1
#define PCI_PRINT_NAMES 2
#define PCI_PRINT_IDS 4

int pci_parseDeviceEntry(PCI_DEVICE_T* pd, char* line);
int pci_findDeviceFromResourcesAndDriver(unsigned memoryStart, unsigned memoryEnd, unsigned irq, const char* driver,
                                         PCI_DEVICE_T* pd);
int pci_findDeviceFromResources(unsigned memoryStart, unsigned memoryEnd, unsigned irq, PCI_DEVICE_T* pd);
int pci_findDeviceFromVendorDeviceId(unsigned index, unsigned vendor, unsigned device, PCI_DEVICE_T* pd);
int pci_getVendorInfoBySlot(PCI_DEVICE_T* pd);

int pci_getLayoutValueFromKey(char* section, char* key, char* value);
int pci_getLayoutKey(PCI_DEVICE_T* pd, char* key, char* value);
int pci_getLayoutLocation(PCI_DEVICE_T* pd, unsigned* location);
int pci_getLayoutType(PCI_DEVICE_T* pd, char* value);
int pci_getLayoutName(PCI_DEVICE_T* pd, char* value);
int pci_getLayoutDescription(PCI_DEVICE_T* pd, char* value);

int pci_getPciDeviceIds(PCI_DEVICE_T* pd, PCI_DEVICE_IDS* ids);

void pci_print(PCI_DEVICE_T* pd, unsigned mode);
void pci_printall(unsigned mode);
