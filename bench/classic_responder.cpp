// Reference responder set up the classic way: pcap_open_live with a 500 ms timeout and no
// immediate mode, so libpcap hands frames over only when its buffer timeout expires.
#include "wire.h"

#include "reply.h"

#include <cstdio>
#include <pcap/pcap.h>

namespace {
void handle(u_char *user, const pcap_pkthdr *h, const u_char *bytes) {
    static unsigned char out[70000];
    if (h->caplen < 14) {
        return;
    }
    const size_t n = buildReply(bytes, h->caplen, out);
    pcap_sendpacket(reinterpret_cast<pcap_t *>(user), out, int(n));
}
} // namespace

int main(int argc, char **argv) {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t *p = pcap_open_live(argc > 1 ? argv[1] : "eth1", 65536, 1, 500, errbuf);
    if (p == nullptr) {
        std::fprintf(stderr, "%s\n", errbuf);
        return 1;
    }
    bpf_program program;
    const QByteArray filter = wire::requestFilter().toLatin1();
    if (pcap_compile(p, &program, filter.constData(), 0, PCAP_NETMASK_UNKNOWN) != 0 ||
        pcap_setfilter(p, &program) != 0) {
        std::fprintf(stderr, "filter: %s\n", pcap_geterr(p));
        return 1;
    }
    std::fprintf(stderr, "ready\n");
    return pcap_loop(p, 0, handle, reinterpret_cast<u_char *>(p));
}
