#include "pipeline/metrics.h"

namespace ns::metrics {

ListenerMetrics::~ListenerMetrics()
{
    for (ReceiverMetrics* r : receivers)
        delete r;
}

MetricsEvent::~MetricsEvent()
{
    for (ListenerMetrics* l : listeners)
        delete l;
    for (ForwarderMetrics* f : forwarders)
        delete f;
}

void MetricsEventFormatter::format(std::vector<uint8_t>&, MetricsEvent&, bool) {}

} // namespace ns::metrics
