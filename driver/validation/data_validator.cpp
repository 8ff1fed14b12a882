// Placeholder until the validator lands: refuses every type.
#include "driver/validation/data_validator.h"

namespace korvane {

CDataValidator::CDataValidator(IDriver&, IDebug&) {}
CDataValidator::~CDataValidator() = default;
bool CDataValidator::Initialize(int32_t, const std::string&, const std::string&, bool) { return false; }
bool CDataValidator::ValidateData(std::string& error, const ChannelData&) {
  error = "not built";
  return false;
}
void CDataValidator::StopTimer() {}
void CDataValidator::UnloadCustomValidator() {}
void CDataValidator::ResetCustomValidator() {}
int32_t CDataValidator::GetValidationType() const { return 0; }

}  // namespace korvane
