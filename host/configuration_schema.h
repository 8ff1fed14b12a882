// The schema of the configuration file, shipped with kestrel-host, and the
// check of a configuration file against it.
#pragma once

#include <string>
#include <vector>

namespace korvane::host {

/// Name of the schema file.
inline constexpr char kConfigurationSchemaName[] = "kestrel-configuration.xsd";

/// The schema beside kestrel-host (the build tree) or in the installed data
/// directory; empty when neither has it.
std::string FindConfigurationSchema();

/// Checks the configuration file `file` against the schema `schema`. False
/// with `error` when either cannot be read as XML (the driver says why for
/// the configuration); otherwise every place the file departs from the
/// schema, as "line N: message", in `findings`.
bool CheckAgainstSchema(const std::string& schema, const std::string& file, std::vector<std::string>& findings,
                        std::string& error);

}  // namespace korvane::host
