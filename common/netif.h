// What the agent and the station both ask of a network interface and of libpcap's ring, written
// once: an interface ioctl, and the capture sizes that follow from the link's MTU.
#pragma once

#include <QByteArray>

#include <net/if.h>

namespace netif {

// One ioctl about the interface `name` (SIOCGIFFLAGS, SIOCGIFMTU, SIOCGIFHWADDR, …), asked in
// the caller's network namespace; false when the name cannot be one or the kernel says no.
bool ask(const QByteArray &name, unsigned long what, ifreq *answer);

// The snapshot length that holds a whole frame on a link of this MTU: the Ethernet header and
// two VLAN tags (libpcap puts a stripped tag back). 65536 when the MTU is unknown (0 or less).
constexpr int kSnapLenUnknownMtu = 65536;
int snapLenForMtu(int mtu);

// What one frame's slot takes in libpcap's ring in immediate mode: the snapshot after about 80
// bytes of libpcap's own header, 16-byte aligned.
qint64 ringSlotBytes(int snapLen);

} // namespace netif
