#include "plugins/sparrow/sparrow.h"

namespace korvane {
namespace {

const CValidatorPlugin::Texts kTexts{"Sparrow", "Data stream cannot be parsed", "UDP data validator exception"};

}  // namespace

CKSLDataValidatorAPIImpl::CKSLDataValidatorAPIImpl(const Clock& clock)
    : CValidatorPlugin(kTexts, Counting::kParser), clock_(clock) {}

CKSLDataValidatorAPIImpl::~CKSLDataValidatorAPIImpl() = default;

bool CKSLDataValidatorAPIImpl::Open(IKSLDataValidatorAPIUser* user, const DeviceEndpoint* endpoint) {
  if (user == nullptr) return false;
  try {
    user_ = user;
    parser_ = std::make_unique<CVCAXMLStreamParser>(endpoint != nullptr ? *endpoint : DeviceEndpoint{}, user, clock_);
    return true;
  } catch (...) {
    parser_.reset();
    return false;
  }
}

bool CKSLDataValidatorAPIImpl::Close() {
  try {
    parser_.reset();
    return true;
  } catch (...) {
    return false;
  }
}

void CKSLDataValidatorAPIImpl::Reset() {
  if (parser_ != nullptr) parser_->Reset();
}

bool CKSLDataValidatorAPIImpl::Parse(const uint8_t* data, uint32_t length, std::string& text, uint32_t* count) {
  if (parser_ == nullptr) {
    text = "UDP data parser is not initialized";
    return false;
  }
  return parser_->Parse(data, length, text, *count);
}

}  // namespace korvane
