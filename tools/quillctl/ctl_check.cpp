// quillctl check: the findings of every configuration check (see
// admin/config_check.h); exit code 1 when one is an error.
#include <ostream>

#include "admin/config_check.h"
#include "quillctl/ctl_commands.h"
#include "quillctl/ctl_output.h"

namespace quillctl {

int Check(Invocation& invocation) {
  const std::vector<admin::Finding> findings = admin::CheckConfiguration(admin::CheckProbes::System());
  const bool ok = !admin::HasErrors(findings);
  const auto severity = [](const admin::Finding& finding) {
    return finding.severity == admin::Severity::Error ? "error" : "warning";
  };
  if (invocation.Has(kOptJson)) {
    Json list = Json::Array();
    for (const admin::Finding& finding : findings)
      list.Push(Json::Object()
                    .Set("severity", Json::String(severity(finding)))
                    .Set("subject", Json::String(finding.subject))
                    .Set("text", Json::String(finding.text)));
    invocation.io.out << Json::Object().Set("ok", Json::Bool(ok)).Set("findings", std::move(list)).Dump() << "\n";
  } else {
    for (const admin::Finding& finding : findings)
      invocation.io.out << severity(finding) << ": " << finding.subject << ": " << finding.text << "\n";
    if (findings.empty()) invocation.io.out << "The stored configuration is in order.\n";
  }
  return ok ? kExitOk : kExitFailed;
}

}  // namespace quillctl
