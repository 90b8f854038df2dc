// Helpers the parts of the network library share: filling interface
// requests, the ethtool request, addresses in dotted form. Internal.
#pragma once

#include "ethutils.h"
#include "zorassert.h"

#include <net/if.h>
#include <netinet/in.h>
#include <stdint.h>
#include <string>

#define ETH_ASSERT(cond, param) ZOR_ASSERT_ARG(cond, "ethutils", param)

namespace ethutils_detail {

const char* const kNoAddress = "0.0.0.0";
const char* const kNoMac = "00:00:00:00:00:00";

// Fills the request's name. A name that does not fit would reach the kernel
// cut short and could name another interface, so it is refused.
bool setName(struct ifreq& ifr, const char* name);
char* copyOut(char* buffer, const char* text, unsigned len);
bool parseIPv4(const char* text, struct in_addr* addr);
void toSockaddr(struct sockaddr* sa, struct in_addr addr);
std::string dotted(uint32_t networkOrder);
int ethtoolRequest(const char* name, void* data);
bool getSettings(const char* name, struct ethtool_cmd* cmd);

} // namespace ethutils_detail
