#include "net/net.h"

namespace ns::net {

void init() {}

} // namespace ns::net
