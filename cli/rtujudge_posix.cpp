#include "rtujudge.h"

#include <modbus.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace cli {
namespace {

struct Descriptor
{
    int fd = -1;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

RtuJudgement judgeRtuAnswer(const QByteArray &answer, int address, int reg,
                            const LineSettings &line)
{
    // libmodbus reads its answer from a descriptor of its own, where the bytes that came
    // from the port wait already; so what it took, and what it left, can be told, and what
    // was on the line can be named in a message. Its request lands beside them, unread.
    RtuJudgement judgement;
    Descriptor ours;
    Descriptor libraries;
    int pair[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        judgement.problem = QString::fromLocal8Bit(std::strerror(errno));
        return judgement;
    }
    libraries.fd = pair[0];
    ours.fd = pair[1];
    if (::write(ours.fd, answer.constData(), std::size_t(answer.size())) != answer.size()) {
        judgement.problem = QString::fromLocal8Bit(std::strerror(errno));
        return judgement;
    }
    const std::unique_ptr<modbus_t, void (*)(modbus_t *)> context(
        modbus_new_rtu("-", line.baud, line.parity, line.dataBits, line.stopBits), modbus_free);
    if (!context || modbus_set_slave(context.get(), address) != 0) {
        judgement.problem = QString::fromUtf8(modbus_strerror(errno));
        return judgement;
    }
    // Every byte there is waits already: a longer wait would find no more.
    modbus_set_response_timeout(context.get(), 0, 1000);
    modbus_set_byte_timeout(context.get(), 0, 1000);
    modbus_set_socket(context.get(), libraries.fd);
    judgement.result = modbus_read_registers(context.get(), reg, 1, &judgement.value);
    judgement.error = errno;
    modbus_set_socket(context.get(), -1);
    int unread = 0;
    if (::ioctl(libraries.fd, FIONREAD, &unread) == 0)
        judgement.unread = unread;
    return judgement;
}

} // namespace cli
