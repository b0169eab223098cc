#include "common/Endpoint.h"

#include <arpa/inet.h>

namespace crashreports {

std::string Endpoint::addressText() const
{
    const in_addr record{htonl(address)};
    char buffer[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &record, buffer, sizeof buffer);
    return buffer;
}

std::string Endpoint::text() const
{
    return addressText() + ":" + std::to_string(port);
}

}  // namespace crashreports
