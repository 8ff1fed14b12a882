// Placeholder until the channel base lands.
#include "driver/channels/channel_base.h"

namespace korvane {

CChannelBase::CChannelBase(IDataDriver&, IDebug&, const ChannelSettings&) {}
CChannelBase::~CChannelBase() = default;
bool CChannelBase::Start() { return false; }
void CChannelBase::Stop() {}

}  // namespace korvane
