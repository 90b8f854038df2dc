// Whether this process's ioctls reach the kernel. The i386 suite runs under
// a user-mode emulator where the kernel cannot run 32-bit programs itself;
// the emulator answers ENOSYS for the interface ioctls it does not translate
// (SIOCETHTOOL, SIOCSIFNAME), which a kernel never does. Checks of those
// ioctls are skipped there: the code under them is the same on every target.
#pragma once

#include <cerrno>
#include <cstring>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

inline bool ioctlTranslated(unsigned long request)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq probe{};
    std::strcpy(probe.ifr_name, "lo");
    ethtool_value value{ETHTOOL_GLINK, 0};
    probe.ifr_data = reinterpret_cast<char*>(&value);
    if (request == SIOCSIFNAME) {
        std::strcpy(probe.ifr_newname, "lo"); // renaming lo to itself changes nothing
    }
    bool translated = ioctl(fd, request, &probe) == 0 || errno != ENOSYS;
    close(fd);
    return translated;
}
