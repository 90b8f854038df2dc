// Network interface and route utilities: read and change the settings of
// the appliance's interfaces through socket ioctls, read statistics and
// routes from /proc/net, and map interfaces to the appliance's port names
// through the PCI layout (pcitools.h).
//
// Text results are copied as strncpy copies: at most `len` characters, so a
// buffer that is too short holds no terminator. Null pointers and zero
// lengths are caller errors and stop the process.
#pragma once

#include "pcitools.h"

#include <linux/ethtool.h>
#include <net/if.h>
#include <net/route.h>
#include <stdint.h>

typedef struct nif_stats {
    uint64_t rx;
    uint64_t rpackets;
    uint64_t rerrs;
    uint64_t rdrop;
    uint64_t rfifo;
    uint64_t rframe;
    uint64_t rcomp;
    uint64_t rmc;
    uint64_t tx;
    uint64_t tpackets;
    uint64_t terrs;
    uint64_t tdrop;
    uint64_t tfifo;
    uint64_t tcolls;
    uint64_t tcarrier;
    uint64_t tcomp;
} NIF_STATS;

typedef struct rt_entry {
    char device[32];
    char dest[16];
    char mask[16];
    char gw[16];
    uint32_t flags;
} rt_entry_t;

/// Most routes rt_getRoutes returns; further lines of the table are left out.
#define RT_MAX_ROUTES 256

/// Speed flags.
#define IF_SPEED_NA 0
#define IF_SPEED_AUTO 1
#define IF_SPEED_10_HALF 2
#define IF_SPEED_10_FULL 4
#define IF_SPEED_100_HALF 8
#define IF_SPEED_100_FULL 16
#define IF_SPEED_1000_HALF 32
#define IF_SPEED_1000_FULL 64

/// Link status values of if_getLinkStatus.
#define IF_LINK_DOWN 0
#define IF_LINK_UP 1
#define IF_LINK_FAILED 2
#define IF_LINK_UNKNOWN 3

struct name_type_entry {
    const char* prefix;
    int devClass;
    int devType;
};
extern const struct name_type_entry name_type_map[5];

struct route_flag_entry {
    unsigned flag;
    char letter;
};
extern const struct route_flag_entry g_route_flags[28];

#define LIB_VERSION "6.5"

// Kernel requests. Interface names of IFNAMSIZ characters or more cannot
// name an interface; requests on them fail without reaching the kernel.
int if_ioctl(int request, struct ifreq* ifr);
int if_getEthtoolInfo(const char* name, struct ethtool_drvinfo* info);
int if_getIndex(const char* name);
/// `name` must hold IFNAMSIZ characters.
char* if_getName(int index, char* name);
int if_setName(const char* oldName, const char* newName);
char* if_getPhysicalMacAddress(const char* name, char* buffer, unsigned len);
unsigned if_getMtu(const char* name);
int if_setMtu(const char* name, unsigned mtu);
int if_getHardwareMap(const char* name, struct ifmap* map);
char* if_getCurrentAddress(const char* name, char* buffer, unsigned len);
char* if_getCurrentNetmask(const char* name, char* buffer, unsigned len);
char* if_getCurrentBroadcast(const char* name, char* buffer, unsigned len);
/// 0 without a request when the text equals the current one; -1 without a
/// request when the text is no dotted IPv4 address; else the ioctl result.
int if_setCurrentAddress(const char* name, const char* address);
int if_setCurrentNetmask(const char* name, const char* netmask);
int if_setCurrentBroadcast(const char* name, const char* broadcast);
int if_getFlags(const char* name);
int if_setFlags(const char* name, unsigned flags);
int if_clearFlags(const char* name, unsigned mask);
unsigned if_getCapableSpeed(const char* name);
unsigned if_getCurrentSpeed(const char* name);
int if_setCurrentSpeed(const char* name, unsigned speed);
int if_getLinkStatus(const char* name);
/// 0, the errno of a failed ioctl, or 12 when no socket could be opened.
int rt_ioctl(int request, struct rtentry* rt);
/// Null destination, mask or gateway stand for 0.0.0.0; a text that is no
/// dotted IPv4 address gives EINVAL without a request.
int rt_add(const char* device, const char* destination, const char* mask, const char* gateway, unsigned flags);
int rt_delete(const char* device, const char* destination, const char* mask, const char* gateway, unsigned flags);

// Files and commands.
char* if_getCurrentGateway(const char* name, char* buffer, unsigned len);
/// Runs /sbin/route to replace the default gateway; always 0. An interface
/// name or gateway that is not a plain interface name or dotted IPv4 text
/// changes nothing and runs nothing.
int if_setCurrentGateway(const char* name, const char* gateway);
int if_getDeviceStatistics(const char* name, NIF_STATS* stats);
/// The routes whose flags share a bit with `mask` (of `device` only unless
/// it is null). *entries is a new array (release with delete[]), null when
/// the count is 0.
int rt_getRoutes(const char* device, int mask, rt_entry_t** entries);
int if_enumFirst(int* cursor, char* name, unsigned len);
int if_enumNext(int* cursor, char* name, unsigned len);
char* if_getDriverName(const char* name, char* buffer, unsigned len);
int if_getPciDevice(const char* name, PCI_DEVICE_T* pd);
int if_getLogicalName(const char* systemName, char* buffer, int len);
int if_getPhysicalName(const char* name, char* buffer, int len);
int if_getDeviceClass(const char* name);
int if_getDeviceType(const char* name);

// Text forms.
char* if_speedToString(unsigned speed, char* buffer, unsigned len);
char* if_flagsToString(unsigned flags, char* buffer, unsigned len);
char* rt_flags_to_string(unsigned flags, char* buffer, int len);
unsigned rt_string_to_flags(const char* cpFlags);
const char* if_deviceClassToString(int devClass);
const char* if_deviceTypeToString(int devType);
const char* if_linkStatusToString(int status);

// Printouts to standard output.
void if_printEthtoolInfo(const char* name);
void if_print(const char* name);
void if_printLayout(void);
void rt_print(int mask);

const char* if_getLibVersion(void);
