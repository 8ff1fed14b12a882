#include "driver/core/model_table.h"

#include "driver/channels/channel_base.h"
#include "driver/channels/http_channel.h"
#include "driver/channels/http_server_channel.h"
#include "driver/channels/rtsp_channel.h"
#include "driver/channels/serial_channel.h"
#include "driver/channels/tcp_channel.h"
#include "driver/channels/tcp_client_channel.h"
#include "driver/channels/udp_channel.h"
#include "driver/core/kestrel_driver.h"

namespace korvane {
namespace {

/// Factory for a channel class constructed from (IDataDriver&, IDebug&, const ChannelSettings&).
/// A row gets its channel as `&MakeChannel<CTcpChannel>` plus the channel's include above.
template <class Channel>
std::unique_ptr<CChannelBase> MakeChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings) {
  return std::make_unique<Channel>(driver, debug, settings);
}

using D = CKestrelDriver;
using R = ProxyRegistration;

// One row per model: name, Validation and Custom validator parameter numbers,
// parameter reader, channel factory, proxy registration.
constexpr ModelEntry kModels[] = {
    {"KestrelSerialModel", 7, 9, &D::ReadSerialParameters, &CreateSerialChannel, R::kNone},
    {"KestrelUdpModel", 2, 4, &D::ReadUDPParameters, &CreateUdpChannel, R::kNone},
    {"KestrelTcpModel", 2, 4, &D::ReadTCPParameters, &CreateTcpChannel, R::kNone},
    {"KestrelTcpClientModel", 3, 5, &D::ReadTCPClientParameters, &CreateTcpClientChannel, R::kNone},
    {"KestrelHttpModel", 6, 8, &D::ReadHttpParameters, &CreateHttpChannel, R::kNone},
    {"KestrelHttpServerModel", 2, 4, &D::ReadHttpServerParameters, &CreateHttpServerChannel, R::kNone},
    {"KestrelRtspModel", 5, 7, &D::ReadRtspParameters, &CreateRtspChannel, R::kNone},
    {"KestrelProxyModel", 7, 0, &D::ReadProxyParameters, &CreateTcpChannel, R::kProxy},
    {"KestrelIntrepidProxyModel", 5, 0, &D::ReadIntrepidProxyParameters, &CreateTcpChannel, R::kIntrepidProxy},
};

}  // namespace

std::span<const ModelEntry> ModelEntries() { return kModels; }

const ModelEntry* FindModelEntry(std::string_view name) {
  for (const ModelEntry& entry : kModels) {
    if (name == entry.name) return &entry;
  }
  return nullptr;
}

}  // namespace korvane
