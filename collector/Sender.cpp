#include "Sender.h"

#include <arpa/inet.h>

namespace collector {

std::string Sender::addressText() const
{
    const in_addr record{htonl(address)};
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &record, text, sizeof text);
    return text;
}

std::string Sender::endpoint() const
{
    return addressText() + ":" + std::to_string(port);
}

}  // namespace collector
