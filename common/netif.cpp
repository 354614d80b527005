// Interface ioctls and the capture sizes of the link's MTU.
#include "netif.h"

#include <cstring>

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace netif {

bool ask(const QByteArray &name, unsigned long what, ifreq *answer) {
    if (name.isEmpty() || name.size() >= IFNAMSIZ || name.contains('\0')) {
        return false;
    }
    std::memset(answer, 0, sizeof *answer);
    std::memcpy(answer->ifr_name, name.constData(), static_cast<size_t>(name.size()));
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const bool ok = ioctl(fd, what, answer) == 0;
    close(fd);
    return ok;
}

int snapLenForMtu(int mtu) {
    return mtu > 0 ? qMin(mtu + 14 + 2 * 4, kSnapLenUnknownMtu) : kSnapLenUnknownMtu;
}

qint64 ringSlotBytes(int snapLen) {
    return (qint64(snapLen) + 80 + 15) / 16 * 16;
}

} // namespace netif
