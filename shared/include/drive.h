// The appliance's hardware library: model identity, configuration
// directory and port MAC addresses.
//
// Where it takes them from (all paths pass through zorResolvePath, so a
// ZOR_ROOT moves them under another root):
//
//   /etc/quorvane/system/model.conf   registry file (see regfile.h):
//
//       [Appliance]
//       Model = zs4000                      section that describes this box
//       ConfigsLocation = /etc/quorvane/hardware/
//
//       [zs4000]
//       Id = 4
//       Name = ZS-4000 Storage Server
//
// Without the file, or without ConfigsLocation in it, the configuration
// directory is /etc/quorvane/hardware/. MAC addresses always come from the
// live network interfaces of the running system.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef struct hwid_model_info {
    int id;            ///< model id
    char* pName;       ///< model name shown to people
    char* pConfigName; ///< name of the model's section in model.conf
} HWID_MODEL_INFO;

/// The model record of `configName`, or of this appliance when it is null;
/// null when unknown. Release it with hwid_freeModelInfo.
HWID_MODEL_INFO* hwid_getModelInfo(const char* configName);
void hwid_freeModelInfo(HWID_MODEL_INFO* info);

/// The directory of the appliance's configuration files, ending in '/',
/// already resolved under ZOR_ROOT. 0, or -1 when it does not fit in `size`
/// characters including the terminator (buffer then holds "").
int hwid_getConfigsLocation(char* buffer, unsigned size);

/// The MAC address of appliance port `port` as twelve upper-case hexadecimal
/// digits without separators ("02FC00000001"); 0, or -1 when there is no
/// such port or the text does not fit in `len` characters with its
/// terminator. Ports are the live non-loopback interfaces with a non-zero
/// Ethernet address, those on a hardware bus first, each group in interface
/// index order: port 0 stays the same board port when virtual interfaces
/// come and go.
int eth_getMAC(int port, char* buffer, int len);

#ifdef __cplusplus
}
#endif
