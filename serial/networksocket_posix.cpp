#include "networksocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace networksocket {

void shortenKeepAlive(qintptr descriptor)
{
    if (descriptor < 0)
        return;
    const int fd = int(descriptor);
    // First probe after 5 s of silence, then every 2 s, lost after 3 unanswered: about
    // 11 s, against the kernel's default of over two hours.
    const int idle = 5;
    const int interval = 2;
    const int count = 3;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
#ifdef TCP_USER_TIMEOUT
    // Keepalive probes go out only while nothing sent waits for its acknowledgement; a
    // command sent to a gateway that lost power would otherwise be retransmitted for a
    // quarter of an hour, each reply window saying "no reply". The same 11 s bound there.
    const unsigned int unacknowledgedMs = (idle + interval * count) * 1000;
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledgedMs, sizeof unacknowledgedMs);
#endif
}

void acknowledgeAtOnce(qintptr descriptor)
{
#ifdef TCP_QUICKACK
    if (descriptor < 0)
        return;
    const int on = 1;
    ::setsockopt(int(descriptor), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#else
    Q_UNUSED(descriptor);
#endif
}

} // namespace networksocket
