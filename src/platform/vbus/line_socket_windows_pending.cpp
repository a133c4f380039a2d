// TEMPORARY (Windows): the bus connection until its TCP loopback form lands. Windows programs
// cannot reach the bus's Unix-domain form (Wine and older Windows have no AF_UNIX), so every
// connect fails with a clear reason and the programs use the platform's own devices. This file
// is replaced by the Winsock version of the connection once the TCP form is in.

#include "platform/vbus/wire.h"

namespace platform::vbus {

LineSocket::~LineSocket()
{
    close();
}

bool LineSocket::connect(const std::string& path, std::string* error)
{
    close();
    if (error)
        *error = "the virtual bus at " + path + " cannot be reached: this Windows build has no bus connection yet";
    return false;
}

bool LineSocket::writeLine(const std::string&)
{
    return false;
}

bool LineSocket::readLine(std::string&, size_t, int)
{
    m_failure = Failure::Closed;
    return false;
}

void LineSocket::shutdown() { }

void LineSocket::close()
{
    m_fd = -1;
    m_pending.clear();
}

} // namespace platform::vbus
